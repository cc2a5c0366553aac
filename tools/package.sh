#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package: a Release build with Debian's hardening flags
# into build-package/, then CPack. Prints the path of the .deb.
# Usage: tools/package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-build-package}
case "$out" in /*) ;; *) out="$root/$out" ;; esac

tools/install-deps.sh --package

# The flags Debian builds its own packages with (-O2, fortify, stack
# protector, relro and bindnow), so lintian finds the binaries hardened.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)

launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-DNDEBUG" \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DMEROVAN_BUILD_TESTS=OFF -DMEROVAN_WERROR="${MEROVAN_WERROR:-OFF}" "${launcher[@]}" >/dev/null
cmake --build "$out" -j"$(nproc 2>/dev/null || echo 2)"
rm -f "$out"/merovan_*.deb
(cd "$out" && cpack -G DEB >/dev/null)
ls "$out"/merovan_*.deb
