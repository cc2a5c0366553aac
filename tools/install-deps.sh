#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages Merovan needs to build and test, if any are
# missing. Usage: tools/install-deps.sh [--gui-run | --package | --package-check | --windows]
# --package: what tools/package.sh needs to make the .deb; --package-check:
# the checkers .ci/package.sh runs on it.
# --windows: the mingw-w64 cross compiler, GoogleTest's sources, wine, and
# dpkg-dev to unpack the libvterm and Lua source packages, for tools/build-windows.sh
# and .ci/windows.sh.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config liblua5.4-dev librsvg2-bin qt6-base-dev libgl-dev libgtest-dev libgmock-dev srecord binutils imagemagick clang libclang-rt-14-dev lrzsz socat libvterm-dev tmux ser2net)
if [ "${1:-}" = "--gui-run" ]; then
  packages+=(xvfb xauth)
elif [ "${1:-}" = "--package" ]; then
  packages+=(dpkg-dev file fakeroot)
elif [ "${1:-}" = "--package-check" ]; then
  packages+=(lintian desktop-file-utils appstream xvfb xauth)
elif [ "${1:-}" = "--windows" ]; then
  packages+=(g++-mingw-w64-x86-64-posix googletest wine wine64 dpkg-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  SUDO=()
elif command -v sudo >/dev/null 2>&1; then
  SUDO=(sudo)
else
  echo "Missing packages (${missing[*]}) and neither root nor sudo to install them." >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
