# Installation into the usual places and the Debian package (cpack -G DEB).
include(GNUInstallDirs)

install(TARGETS ferrydesk ferrydesk-update RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES resources/ferrydesk.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 32 48 64 128 256)
    install(FILES resources/icons/${size}/ferrydesk.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES resources/icons/ferrydesk.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Debian wants manual pages and the changelog compressed (reproducibly), the copyright beside it.
set(FERRYDESK_GZIPPED)
foreach(file ferrydesk.1 ferrydesk-update.1 changelog)
    set(gz ${CMAKE_BINARY_DIR}/packaging/${file}.gz)
    add_custom_command(OUTPUT ${gz}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
        COMMAND gzip -n -9 -c ${CMAKE_SOURCE_DIR}/packaging/${file} > ${gz}
        DEPENDS ${CMAKE_SOURCE_DIR}/packaging/${file})
    list(APPEND FERRYDESK_GZIPPED ${gz})
endforeach()
add_custom_target(ferrydesk_packaging_files ALL DEPENDS ${FERRYDESK_GZIPPED})
install(FILES ${CMAKE_BINARY_DIR}/packaging/ferrydesk.1.gz
              ${CMAKE_BINARY_DIR}/packaging/ferrydesk-update.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ferrydesk)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ferrydesk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Ferrydesk developers")
set(CPACK_PACKAGE_CONTACT "Ferrydesk developers <developers@ferrydesk.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop client for a file-hosting web service")
set(CPACK_PACKAGE_DESCRIPTION "Ferrydesk browses the remote folders of a file-hosting account,
downloads files with resume, uploads files by FTP and runs a transfer
queue with limits, speed caps and automatic retries.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Added to what the linked libraries bring: qtkeychain loads libsecret, the keyring's client
# library, only at run time.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsecret-1-0")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
