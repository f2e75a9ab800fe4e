# Test-only 64-bit Windows build of the same sources, run under 64-bit Wine.
#
# The product is the 32-bit build (mingw-i686.cmake). Some Linux kernels are
# built without 32-bit program support, and there 32-bit Wine cannot start at
# all; this build lets the Wine scenarios still check the program against an
# implementation of the Win32 API that we did not write.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# The "win32" thread model: the "posix" one links winpthreads into the
# program, which then needs kernel32 functions of Windows Vista. GoogleTest gets
# the std::mutex it needs from gtest-win32-threads.h (see tests/CMakeLists.txt).
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(MORIX_WINE_ARCH win64)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run;--arch;win64;--prefix;${CMAKE_BINARY_DIR}/wineprefix")
