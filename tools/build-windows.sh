#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-builds merovan_core, merovan-cli.exe and the core's unit tests for
# 64-bit Windows with mingw-w64, GoogleTest included, into build-windows/.
# Usage: tools/build-windows.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-build-windows}
case "$out" in /*) ;; *) out="$root/$out" ;; esac

tools/install-deps.sh --windows

toolchain="$root/cmake/mingw-w64-x86_64.cmake"
jobs=$(nproc 2>/dev/null || echo 2)
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

# Debian ships GoogleTest as sources only; build it with the same compiler so
# that the tests link against a library of their own ABI.
gtest_prefix="$out/googletest"
if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "== GoogleTest for Windows ($gtest_prefix)"
  cmake -S /usr/src/googletest -B "$out/googletest-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$gtest_prefix" \
    -DBUILD_GMOCK=OFF -Dgtest_force_shared_crt=ON "${launcher[@]}" >/dev/null
  cmake --build "$out/googletest-build" -j"$jobs" >/dev/null
  cmake --install "$out/googletest-build" >/dev/null
fi

echo "== Build for Windows ($out)"
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DMEROVAN_BUILD_GUI=OFF -DMEROVAN_BUILD_TESTS=ON -DMEROVAN_WERROR="${MEROVAN_WERROR:-OFF}" \
  -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" "${launcher[@]}" >/dev/null
cmake --build "$out" -j"$jobs"
