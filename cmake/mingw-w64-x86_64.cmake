# Cross-builds morvex for 64-bit Windows with Debian's MinGW-w64 (the POSIX-thread variant, which
# std::thread needs) and runs what it builds under Wine.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MORVEX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MORVEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MORVEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MORVEX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MORVEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see the target's libraries only, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${MORVEX_MINGW_TRIPLE}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Everything linked statically (libgcc, libstdc++, winpthread, and libgcrypt for the tests), so the
# programs run on a bare Windows without any DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests, test discovery and try_run go through Wine, in a prefix of this build's own, so that runs
# never touch a user's ~/.wine nor each other.
set(MORVEX_WINE /usr/lib/wine/wine64 CACHE FILEPATH "Wine's 64-bit loader")
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix WINEDEBUG=-all ${MORVEX_WINE})
