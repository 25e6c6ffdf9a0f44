# Install rules, the Windows icon and version resource, and the Debian package.
include(GNUInstallDirs)

set(MOLAN_APP_ID com.example.molan_recorder)
set(MOLAN_PACKAGE_VERSION 1.00)
set(MOLAN_MAINTAINER "Molan Studio <molan-recorder@example.com>")

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

    install(FILES ${PROJECT_SOURCE_DIR}/resources/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
    # Debian wants a changelog.gz beside the copyright; -n keeps the package reproducible.
    find_program(MOLAN_GZIP gzip)
    if(MOLAN_GZIP)
        set(molan_changelog ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog)
        file(WRITE ${molan_changelog}
             "molan-recorder (${MOLAN_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
             "  * First release.\n\n"
             " -- ${MOLAN_MAINTAINER}  Sun, 06 Dec 2026 12:00:00 +0000\n")
        execute_process(COMMAND ${MOLAN_GZIP} -9nf ${molan_changelog} COMMAND_ERROR_IS_FATAL ANY)
        install(FILES ${molan_changelog}.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
    endif()
endif()

if(UNIX AND NOT APPLE)
    set(CPACK_GENERATOR DEB)
else()
    set(CPACK_GENERATOR ZIP)
endif()
set(CPACK_PACKAGE_NAME molan-recorder)
set(CPACK_PACKAGE_VERSION ${MOLAN_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR "Molan Studio")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small sound recorder with a Simplified Chinese interface")
set(CPACK_PACKAGE_DESCRIPTION
    "墨岚录音软件 (Molan Recorder) records from the default sound device,
shows the elapsed seconds and saves the recording as a WAVE file
(PCM, mono, 22050 Hz, 8-bit).
墨岚录音软件：从默认录音设备录音，并保存为 WAVE 文件。")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${MOLAN_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://example.com)
# Library dependencies (Qt, libsndfile, libpulse) come from dpkg-shlibdeps;
# the rest is what the binary cannot tell: the window-system plugins, the
# font the interface is drawn in, and a sound server to record from.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-arphic-uming")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse")
set(CPACK_STRIP_FILES ON)
include(CPack)
