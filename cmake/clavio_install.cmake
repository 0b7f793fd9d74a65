# What an installation holds besides the executables and the data the folders
# install themselves (packs, demo session, desktop entry, icons, metainfo,
# udev rule): the manual pages, the bash completion and the licence. Two
# install components: "cli" (clavio-cli, the shared data, the udev rule) and
# "app" (the tray application and its desktop integration).

# Manual pages: written in scdoc(5) under docs/man, generated and compressed
# at build time into <build>/share/man/man1.
find_program(SCDOC_PROGRAM scdoc)
set(CLAVIO_MAN_DIR ${CMAKE_BINARY_DIR}/share/man/man1)
set(CLAVIO_MAN_PAGES clavio-cli cli)
if(CLAVIO_BUILD_APP)
    list(APPEND CLAVIO_MAN_PAGES clavio app)
endif()
if(SCDOC_PROGRAM)
    while(CLAVIO_MAN_PAGES)
        list(POP_FRONT CLAVIO_MAN_PAGES page component)
        set(source ${CMAKE_SOURCE_DIR}/docs/man/${page}.1.scd)
        set(output ${CLAVIO_MAN_DIR}/${page}.1.gz)
        add_custom_command(OUTPUT ${output}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CLAVIO_MAN_DIR}
            COMMAND sh -c "${SCDOC_PROGRAM} < \"$0\" | gzip -9n > \"$1\"" ${source} ${output}
            DEPENDS ${source}
            COMMENT "Generating the manual page ${page}(1)"
            VERBATIM)
        # Made with its program, so that a build of clavio-cli alone has its page.
        add_custom_target(clavio_man_${page} ALL DEPENDS ${output})
        add_dependencies(${page} clavio_man_${page})
        install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component}
            OPTIONAL)
    endwhile()
else()
    message(WARNING "scdoc not found: no manual pages (apt-get install scdoc)")
endif()

install(FILES ${CMAKE_SOURCE_DIR}/cli/clavio-cli.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME clavio-cli
    COMPONENT cli)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT cli)
# Debian looks for the licence in /usr/share/doc/<package>/copyright.
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright
    COMPONENT cli)
