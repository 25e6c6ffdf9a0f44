# The Windows version: a folder that runs by itself (the exe with Qt's DLLs
# and plugins, the MinGW runtime and Qt's Chinese texts), the zip and the
# installer made from it, and the tests run under Wine when cross-built.

# The version resource is saved as UTF-8.
if(CMAKE_RC_COMPILER MATCHES "windres")
    target_compile_options(molan-recorder PRIVATE $<$<COMPILE_LANGUAGE:RC>:--codepage=65001>)
endif()

# ASLR anywhere in the 64-bit space and DEP; the linker's defaults today,
# asked for all the same (tests/windows/pe_hardening.py checks them).
if(MINGW)
    target_link_options(molan-recorder PRIVATE -Wl,--dynamicbase,--high-entropy-va,--nxcompat)
endif()

set(MOLAN_SHORT_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
set(molan_folder molan-recorder-${MOLAN_SHORT_VERSION}-win64)
set(molan_dir ${CMAKE_INSTALL_BINDIR})

# Qt looks for its plugins and translations beside the exe, not where it was built.
# (Written aside: beside the programs built here it would mislead them.)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/deploy/qt.conf "[Paths]\nPrefix = .\nPlugins = .\nTranslations = translations\n")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/deploy/qt.conf DESTINATION ${molan_dir})

install(FILES $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets>
        DESTINATION ${molan_dir})
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION ${molan_dir}/platforms)
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION ${molan_dir}/styles)
# The banner is a JPEG.
install(FILES $<TARGET_FILE:Qt6::QJpegPlugin> DESTINATION ${molan_dir}/imageformats)

# The standard dialogs' and buttons' Chinese texts.
find_file(MOLAN_QT_ZH_CN qtbase_zh_CN.qm
          PATHS ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_TRANSLATIONS} ${QT6_INSTALL_PREFIX}/translations
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(MOLAN_QT_ZH_CN)
    install(FILES ${MOLAN_QT_ZH_CN} DESTINATION ${molan_dir}/translations)
else()
    message(WARNING "qtbase_zh_CN.qm not found: Qt's own texts will be in English")
endif()

# GCC's runtime, which Qt's DLLs need as well.
set(MOLAN_RUNTIME_DLLS)
if(MINGW)
    foreach(dll IN ITEMS libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                        OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
            message(FATAL_ERROR "${dll} not found beside ${CMAKE_CXX_COMPILER}")
        endif()
        list(APPEND MOLAN_RUNTIME_DLLS ${found})
    endforeach()
    install(FILES ${MOLAN_RUNTIME_DLLS} DESTINATION ${molan_dir})
endif()

# `cmake --install --strip` strips the libraries beside the exe as well: the
# MinGW runtime comes with its debugging information.
if(CMAKE_STRIP)
    install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
            file(GLOB_RECURSE dlls \"\${CMAKE_INSTALL_PREFIX}/${molan_dir}/*.dll\")
            foreach(dll IN LISTS dlls)
                execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \"\${dll}\" COMMAND_ERROR_IS_FATAL ANY)
            endforeach()
        endif()")
endif()

# `cmake --build . --target windows-package`: dist/<folder>.zip and the installer.
set(MOLAN_DIST_DIR ${CMAKE_BINARY_DIR}/dist CACHE PATH "Where the zip and the installer are written")
set(MOLAN_INSTALLER ${MOLAN_DIST_DIR}/molan-recorder-${MOLAN_SHORT_VERSION}-setup.exe)
set(molan_stage ${CMAKE_BINARY_DIR}/stage)
find_program(MOLAN_MAKENSIS makensis)
set(molan_installer_commands)
if(MOLAN_MAKENSIS)
    set(molan_installer_commands
        COMMAND ${MOLAN_MAKENSIS} -V2 -INPUTCHARSET UTF8 -DVERSION=${MOLAN_SHORT_VERSION}
                -DSOURCE=${molan_stage}/${molan_folder} -DOUTFILE=${MOLAN_INSTALLER}
                -DICON=${PROJECT_SOURCE_DIR}/resources/molan-recorder.ico
                ${PROJECT_SOURCE_DIR}/resources/installer.nsi)
else()
    message(STATUS "makensis not found: windows-package makes the zip only")
endif()
add_custom_target(windows-package
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${molan_stage}
    COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${molan_stage}/root --config $<CONFIG> --strip
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${molan_stage}/root/${molan_dir} ${molan_stage}/${molan_folder}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${MOLAN_DIST_DIR}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${MOLAN_DIST_DIR}/${molan_folder}.zip
    COMMAND ${CMAKE_COMMAND} -E chdir ${molan_stage}
            ${CMAKE_COMMAND} -E tar cf ${MOLAN_DIST_DIR}/${molan_folder}.zip --format=zip ${molan_folder}
    ${molan_installer_commands}
    DEPENDS molan-recorder
    COMMENT "Packing ${molan_folder}.zip and the installer into ${MOLAN_DIST_DIR}"
    VERBATIM)

if(BUILD_TESTING AND CMAKE_CROSSCOMPILING)
    add_subdirectory(tests/windows)
endif()
