#!/usr/bin/env bash
# Builds GoogleTest for Windows from Debian's sources (/usr/src/googletest) with the MinGW-w64
# toolchain and installs it into BUILD_DIR/windows-prefix, where cmake/mingw-w64.cmake looks
# for it:  scripts/windows-deps.sh build/windows
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:?usage: windows-deps.sh BUILD_DIR}
mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
prefix="$build_dir/windows-prefix"
gtest_src=${GTEST_SOURCE_DIR:-/usr/src/googletest}
jobs=${JOBS:-2}

if [[ -e $prefix/lib/cmake/GTest/GTestConfig.cmake ]]; then
  echo "GoogleTest for Windows already in $prefix"
  exit 0
fi
if [[ ! -e $gtest_src/CMakeLists.txt ]]; then
  echo "windows-deps.sh: no GoogleTest sources in $gtest_src (Debian package: googletest)" >&2
  exit 1
fi

gtest_build="$build_dir/windows-deps/googletest"
cmake -S "$gtest_src" -B "$gtest_build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_GMOCK=ON \
  -DINSTALL_GTEST=ON \
  -Dgtest_disable_pthreads=OFF >/dev/null
cmake --build "$gtest_build" -j "$jobs"
cmake --install "$gtest_build" >/dev/null
echo "GoogleTest for Windows installed in $prefix"
