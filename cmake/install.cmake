# Install rules and the Windows icon and version resource. The Debian
# package is made from debian/ (dpkg-buildpackage, scripts/build-deb).
include(GNUInstallDirs)

set(MOLAN_APP_ID com.example.molan_recorder)

if(WIN32)
    # Gives the .exe its icon in Explorer and the product details in its properties.
    enable_language(RC)
    target_sources(molan-recorder PRIVATE ${PROJECT_SOURCE_DIR}/resources/molan-recorder.rc)
endif()

install(TARGETS molan-recorder RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(UNIX AND NOT APPLE)
    # Desktop file and metainfo carry the AppStream id as their names, so
    # software centres can pair them.
    install(FILES ${PROJECT_SOURCE_DIR}/resources/molan-recorder.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
            RENAME ${MOLAN_APP_ID}.desktop)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/molan-recorder.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
            RENAME ${MOLAN_APP_ID}.metainfo.xml)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/resources/icons/hicolor
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)

    install(FILES ${PROJECT_SOURCE_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
    # The manual page, in English and in Chinese.
    install(FILES ${PROJECT_SOURCE_DIR}/resources/man/molan-recorder.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/man/molan-recorder.zh_CN.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/zh_CN/man1
            RENAME molan-recorder.1)
endif()
