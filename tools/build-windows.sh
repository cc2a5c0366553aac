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

# The terminal engine, libvterm, from Debian's source package: its plain C
# files compiled with the same compiler into a static library.
vterm_prefix="$out/libvterm"
if [ ! -f "$vterm_prefix/lib/libvterm.a" ]; then
  echo "== libvterm for Windows ($vterm_prefix)"
  SUDO=()
  [ "$(id -u)" -eq 0 ] || SUDO=(sudo)
  if ! apt-get source --print-uris libvterm >/dev/null 2>&1; then
    sources=/etc/apt/sources.list.d/merovan-deb-src.sources
    if [ ! -f "$sources" ]; then
      printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        | "${SUDO[@]}" tee "$sources" >/dev/null
    fi
    "${SUDO[@]}" apt-get update -qq
  fi
  src_dir="$out/libvterm-source"
  rm -rf "$src_dir"
  mkdir -p "$src_dir"
  (cd "$src_dir" && apt-get source -qq libvterm >/dev/null 2>&1) || { echo "apt-get source libvterm failed" >&2; exit 1; }
  vterm_src=$(find "$src_dir" -maxdepth 1 -mindepth 1 -type d -name 'libvterm-*' | head -n1)
  # The encoding tables: generated from their .tbl files when the source
  # package does not carry them ready-made.
  for tbl in "$vterm_src"/src/encoding/*.tbl; do
    [ -e "$tbl" ] || continue
    [ -f "${tbl%.tbl}.inc" ] || (cd "$vterm_src" && perl -CSD tbl2inc_c.pl "$tbl" >"${tbl%.tbl}.inc")
  done
  mkdir -p "$vterm_prefix/lib" "$vterm_prefix/include" "$src_dir/obj"
  for c in "$vterm_src"/src/*.c; do
    x86_64-w64-mingw32-gcc-posix -std=c99 -O2 -Wno-attributes -I"$vterm_src/include" -c "$c" -o "$src_dir/obj/$(basename "${c%.c}").o"
  done
  x86_64-w64-mingw32-gcc-ar-posix rcs "$vterm_prefix/lib/libvterm.a" "$src_dir"/obj/*.o
  cp "$vterm_src"/include/vterm.h "$vterm_src"/include/vterm_keycodes.h "$vterm_prefix/include/"
fi

echo "== Build for Windows ($out)"
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DMEROVAN_BUILD_GUI=OFF -DMEROVAN_BUILD_TESTS=ON -DMEROVAN_WERROR="${MEROVAN_WERROR:-OFF}" \
  -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" -DMEROVAN_VTERM_ROOT="$vterm_prefix" "${launcher[@]}" >/dev/null
cmake --build "$out" -j"$jobs"
