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

# --- Lua 5.4 for Windows -------------------------------------------------
# Compiled from Debian's source package (apt-get source lua5.4) with the
# mingw compiler into a static library with its headers under $out/lua.
# Every file of its src/ but the two programs (lua.c, luac.c) goes in.
lua_prefix="$out/lua"
lua_debsrc_list=/etc/apt/sources.list.d/merovan-deb-src.sources
lua_add_deb_src() {
  # apt-get source needs a deb-src entry; add Debian's own if none is there.
  if grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return
  fi
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  local suite
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s %s-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$suite" "$suite" | "${sudo[@]}" tee "$lua_debsrc_list" >/dev/null
  "${sudo[@]}" apt-get update -qq
}
build_lua_for_windows() {
  if [ -f "$lua_prefix/lib/liblua5.4.a" ] && [ -f "$lua_prefix/include/lua.hpp" ]; then
    return
  fi
  echo "== Lua 5.4 for Windows, from Debian's source package ($lua_prefix)"
  lua_add_deb_src
  local src="$out/lua-source"
  rm -rf "$src" "$lua_prefix"
  mkdir -p "$src/obj" "$lua_prefix/lib" "$lua_prefix/include"
  if ! (cd "$src" && apt-get source -qq lua5.4 >"$src/apt-get.log" 2>&1); then
    # A stale package list may not know the source yet.
    apt-get update -qq || sudo apt-get update -qq
    (cd "$src" && apt-get source -qq lua5.4 >"$src/apt-get.log" 2>&1) || { cat "$src/apt-get.log" >&2; exit 1; }
  fi
  local dir
  dir=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'lua5.4-*' | head -n 1)
  [ -n "$dir" ] || { echo "apt-get source lua5.4 left no source tree in $src" >&2; exit 1; }
  local f name
  for f in "$dir"/src/*.c; do
    name=$(basename "$f" .c)
    case "$name" in lua|luac) continue ;; esac
    x86_64-w64-mingw32-gcc-posix -O2 -std=gnu99 -Wall -c "$f" -o "$src/obj/$name.o"
  done
  x86_64-w64-mingw32-ar rcs "$lua_prefix/lib/liblua5.4.a" "$src"/obj/*.o
  cp "$dir"/src/lua.h "$dir"/src/luaconf.h "$dir"/src/lualib.h "$dir"/src/lauxlib.h "$dir"/src/lua.hpp \
    "$lua_prefix/include/"
}
build_lua_for_windows
lua_cmake_args=(-DLUA_INCLUDE_DIR="$lua_prefix/include" -DLUA_LIBRARY="$lua_prefix/lib/liblua5.4.a")
# --- end of Lua ------------------------------------------------------------

echo "== Build for Windows ($out)"
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DMEROVAN_BUILD_GUI=OFF -DMEROVAN_BUILD_TESTS=ON -DMEROVAN_WERROR="${MEROVAN_WERROR:-OFF}" \
  -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" -DMEROVAN_VTERM_ROOT="$vterm_prefix" "${lua_cmake_args[@]}" "${launcher[@]}" >/dev/null
cmake --build "$out" -j"$jobs"
