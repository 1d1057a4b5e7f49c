# 64-bit Windows with Debian's mingw-w64 cross-compilers. The posix thread model, because
# std::thread, std::jthread and std::timed_mutex need it; everything is linked statically (the C
# and C++ runtimes, winpthread, FFmpeg, zlib), so that the programs need no DLL but Windows' own.
# CTest runs the programs under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VIDORA_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VIDORA_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VIDORA_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${VIDORA_MINGW_HOST}-windres)
set(CMAKE_AR ${VIDORA_MINGW_HOST}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${VIDORA_MINGW_HOST}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${VIDORA_MINGW_HOST})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian keeps the 64-bit loader out of PATH. The programs run in a wine prefix of the build
# folder's own, quietly, without the .NET and HTML engines that a new prefix would offer to
# install, and without a sound driver: the tests need neither a display nor a sound card, and
# play silently as on a machine without one (tests/CMakeLists.txt gives the waveOut tests a
# null sound device; `make test-windows` runs everything on an X server of its own).
find_program(VIDORA_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT VIDORA_WINE)
    find_program(VIDORA_WINE NAMES wine64 wine)
endif()
if(VIDORA_WINE)
    set(VIDORA_WINEPREFIX ${CMAKE_BINARY_DIR}/wine)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${CMAKE_COMMAND} -E env WINEPREFIX=${VIDORA_WINEPREFIX} WINEDEBUG=-all
        WINEDLLOVERRIDES=mscoree,mshtml,winealsa.drv,winepulse.drv= ${VIDORA_WINE})
endif()
