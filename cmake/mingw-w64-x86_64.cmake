# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads).
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DNIMO_MINGW_OPENSSL=<prefix> ...
# NIMO_MINGW_OPENSSL is the static OpenSSL built by tools/win/build-openssl.sh.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(NIMO_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${NIMO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NIMO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${NIMO_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${NIMO_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${NIMO_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

set(NIMO_MINGW_OPENSSL "" CACHE PATH "Static OpenSSL for mingw (install prefix)")
set(CMAKE_FIND_ROOT_PATH /usr/${NIMO_MINGW_TRIPLE} ${NIMO_MINGW_OPENSSL})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(NIMO_MINGW_OPENSSL)
  set(OPENSSL_ROOT_DIR ${NIMO_MINGW_OPENSSL})
  set(OPENSSL_USE_STATIC_LIBS TRUE)
endif()

# The game ships our DLL and Steam's, nothing else: the C++ runtime, libgcc and
# winpthreads are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests and tools run under Wine.
find_program(NIMO_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(NIMO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NIMO_WINE})
endif()
