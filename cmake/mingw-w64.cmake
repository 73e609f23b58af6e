# Cross build for 64-bit Windows with MinGW-w64 (POSIX thread model), as packaged by Debian.
#
#   scripts/windows-deps.sh build/windows          # GoogleTest for Windows, once per build tree
#   cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#
# Tests run under Wine through scripts/wine-run.sh, with a Wine prefix of their own inside
# the build tree so that nothing in the user's ~/.wine is touched.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARVO_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARVO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVO_MINGW_TRIPLE}-windres)

# Libraries built for Windows that are not part of the system (GoogleTest) live in a prefix
# inside the build tree; scripts/windows-deps.sh fills it.
if(NOT DEFINED TARVO_WINDOWS_PREFIX)
  set(TARVO_WINDOWS_PREFIX "${CMAKE_BINARY_DIR}/windows-prefix")
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${TARVO_MINGW_TRIPLE} "${TARVO_WINDOWS_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARVO_WINDOWS_PREFIX)

# The static zlib (libz.a, not the import library of zlib1.dll): the programs and the test
# executables must run without any DLL beside them.
set(ZLIB_USE_STATIC_LIBS ON)

# Runs test executables (and anything else CMake or CTest starts for the target) under Wine.
get_filename_component(_tarvo_source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_tarvo_source_dir}/scripts/wine-run.sh;${CMAKE_BINARY_DIR}/wine-prefix")
unset(_tarvo_source_dir)
