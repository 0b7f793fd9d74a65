# The Debian package (`make deb`: cpack in the release build). One package
# holding every component, installed under /usr, stripped, its dependencies
# computed from the executables by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME clavio)
set(CPACK_PACKAGE_VENDOR "The Clavio authors")
set(CPACK_PACKAGE_CONTACT "The Clavio authors <clavio@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mechanical-keyboard sounds that follow how hard you type")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Clavio lives in the system tray and plays a mechanical-keyboard sound for every key press. "
    "The loudness and timbre follow how hard the key was struck, measured with the laptop's "
    "accelerometer. clavio-cli renders typing sessions to WAV files and checks sound packs.")
set(CPACK_PACKAGE_HOMEPAGE_URL "${CLAVIO_WEBSITE_URL}")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # clavio_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Added to what dpkg-shlibdeps finds: Qt loads its X11 and Wayland platform
# plugins at run time, so no linked library names their package.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# Offered, not required: the tray icon on GNOME.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-shell-extension-appindicator")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
