# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (the -posix
# compilers, whose C++ library has std::thread and std::mutex).
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MEROVAN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MEROVAN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MEROVAN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MEROVAN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MEROVAN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static executables need no mingw DLLs (libstdc++, libgcc, winpthread)
# beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
