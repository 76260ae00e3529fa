# The Linux install and its Debian package:
#   cmake --build build --target package   ->  build/pellora_<version>_amd64.deb
# with the client (menu entry and icon), pellora-server with its systemd unit
# (left disabled) and an example configuration, and a post-install step that
# lets players start the client without root.
include(GNUInstallDirs)
install(TARGETS pellora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/pellora.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/resources/pellora.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/server.conf DESTINATION /etc/pellora)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pellora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Pellora developers <pellora@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Play LAN games over the Internet: client and lobby server")
set(CPACK_PACKAGE_DESCRIPTION
    "Pellora makes the Internet look like one local network to multiplayer games. The package holds the desktop client and pellora-server, its lobby server and UDP relay.")
# Staged with DESTDIR under the prefix /usr, so that paths written at install
# time (the unit's ExecStart) name the installed files.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
# The Qt libraries come from the linked files; the platform plugin, the
# emoji font and setcap are needed at run time without being linked.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-noto-color-emoji, libcap2-bin")
# The router libraries are linked, so dpkg-shlibdeps finds them too; named here
# as well, as the setup script names the packages to build against.
if(PELLORA_PORTMAP)
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libminiupnpc17, libnatpmp1")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm ${PROJECT_SOURCE_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
