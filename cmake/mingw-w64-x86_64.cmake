# Cross build of vidsalvage.exe for 64-bit Windows with Debian's MinGW-w64:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The posix thread model is needed: GoogleTest does not build with the win32 one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VS_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VS_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VS_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VS_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VS_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything linked in, so that the .exe runs without any DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest and gtest_discover_tests run the test programs under Wine (Debian 12's
# wine64 package installs it off the PATH). The prefix lives in the build tree,
# and the settings keep Wine quiet and stop it from starting its GUI helpers;
# scripts/test-windows.sh starts one wineserver for the same prefix.
set(VS_WINE /usr/lib/wine/wine64 CACHE FILEPATH "Wine loader that runs the cross-built tests")
set(VS_WINEPREFIX ${CMAKE_BINARY_DIR}/wine-prefix CACHE PATH "Wine prefix of this build tree")
set(CMAKE_CROSSCOMPILING_EMULATOR
    env -u DISPLAY WINEPREFIX=${VS_WINEPREFIX} WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml="
    ${VS_WINE})
