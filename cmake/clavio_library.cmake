# One static library per source folder. Every header is included by its path
# from the repository root ("engine/audio/audio_engine.h"), so the include path
# is the same everywhere and a file's folder shows its library.
#
# clavio_library(NAME FOLDER [DEPENDS lib...] [EXTERNAL lib...])
#   DEPENDS: the project's own libraries this folder uses (public, as their
#            headers appear in this folder's headers);
#   EXTERNAL: outside libraries.
# The folders each library may include from are recorded for the layering
# test (tests/check_layering.cmake), so an include the target graph does not
# allow fails a test even where the linker would not notice (header-only use).
function(clavio_library name folder)
    cmake_parse_arguments(ARG "" "" "DEPENDS;EXTERNAL" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS
        ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.h)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPENDS} ${ARG_EXTERNAL})
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/${folder})
    set_property(GLOBAL APPEND PROPERTY CLAVIO_LAYER_FOLDERS "${name}=${rel}")
    string(REPLACE ";" "," deps "${ARG_DEPENDS}")
    set_property(GLOBAL APPEND PROPERTY CLAVIO_LAYER_DEPENDS "${name}=${deps}")
endfunction()

# Writes <build>/layering.txt: one line per library, "folder: allowed folders".
function(clavio_write_layering file)
    get_property(folders GLOBAL PROPERTY CLAVIO_LAYER_FOLDERS)
    get_property(depends GLOBAL PROPERTY CLAVIO_LAYER_DEPENDS)
    foreach(entry IN LISTS folders)
        string(REPLACE "=" ";" pair "${entry}")
        list(GET pair 0 lib)
        list(GET pair 1 dir)
        set(folder_of_${lib} ${dir})
    endforeach()
    # Allowed folders are the transitive closure of DEPENDS.
    foreach(entry IN LISTS depends)
        string(FIND "${entry}" "=" eq)
        string(SUBSTRING "${entry}" 0 ${eq} lib)
        math(EXPR start "${eq} + 1")
        string(SUBSTRING "${entry}" ${start} -1 deps)
        string(REPLACE "," ";" deps "${deps}")
        set(deps_of_${lib} ${deps})
    endforeach()
    set(text "")
    foreach(entry IN LISTS folders)
        string(REPLACE "=" ";" pair "${entry}")
        list(GET pair 0 lib)
        set(todo ${deps_of_${lib}})
        set(seen "")
        while(todo)
            list(POP_FRONT todo d)
            if(d IN_LIST seen OR NOT DEFINED folder_of_${d})
                continue()
            endif()
            list(APPEND seen ${d})
            list(APPEND todo ${deps_of_${d}})
        endwhile()
        set(allowed "")
        foreach(d IN LISTS seen)
            list(APPEND allowed ${folder_of_${d}})
        endforeach()
        list(JOIN allowed " " allowed)
        string(APPEND text "${folder_of_${lib}}: ${allowed}\n")
    endforeach()
    file(WRITE ${file} "${text}")
endfunction()
