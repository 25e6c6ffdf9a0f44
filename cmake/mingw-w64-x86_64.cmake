# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix threads,
# which Qt needs). Libraries built for Windows are found under
# CMAKE_PREFIX_PATH; ctest runs the test programs under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MOLAN_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MOLAN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MOLAN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MOLAN_MINGW_TRIPLET}-windres)

# Host programs (moc, rcc, Wine) from the host; headers, libraries and CMake
# packages only from the Windows side.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${MOLAN_MINGW_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# By name: Wine may be installed only once the tests are about to run.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
