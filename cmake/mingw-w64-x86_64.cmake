# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (packages
# g++-mingw-w64-x86-64-posix and mingw-w64-x86-64-dev):
#
#   cmake -S . -B build-windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The executable is linked statically (C++ runtime, libgcc, winpthreads) and
# needs nothing beyond the system DLLs of a bare Windows. When wine is
# installed it becomes the emulator through which CTest runs the test
# programs.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CORVEL_MINGW_TRIPLE x86_64-w64-mingw32)

# The "posix" thread model provides std::thread and friends.
find_program(CMAKE_C_COMPILER NAMES ${CORVEL_MINGW_TRIPLE}-gcc-posix ${CORVEL_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${CORVEL_MINGW_TRIPLE}-g++-posix ${CORVEL_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${CORVEL_MINGW_TRIPLE}-windres)
find_program(CMAKE_AR NAMES ${CORVEL_MINGW_TRIPLE}-gcc-ar-posix ${CORVEL_MINGW_TRIPLE}-ar)
find_program(CMAKE_RANLIB NAMES ${CORVEL_MINGW_TRIPLE}-gcc-ranlib-posix ${CORVEL_MINGW_TRIPLE}-ranlib)

set(CMAKE_FIND_ROOT_PATH /usr/${CORVEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Wine runs the Windows test programs here. Debian's wine64 package installs
# its loader outside PATH.
find_program(CORVEL_WINE NAMES wine wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(CORVEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVEL_WINE})
endif()
