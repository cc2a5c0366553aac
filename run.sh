#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds, starts the simulated device and starts
# Merovan with the device's port in its list.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh --gui-run

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found. Run Merovan under a virtual X server instead:" >&2
  echo "    xvfb-run -a ./run.sh" >&2
  exit 1
fi

portfile=$(mktemp)
build/tools/devsim/merovan-devsim >"$portfile" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; rm -f "$portfile"' EXIT
for _ in $(seq 50); do
  [ -s "$portfile" ] && break
  sleep 0.1
done
port=$(head -n 1 "$portfile")
if [ -z "$port" ]; then
  echo "The simulated device did not start." >&2
  exit 1
fi
echo "Simulated device on $port"

MEROVAN_EXTRA_PORTS="$port${MEROVAN_EXTRA_PORTS:+:$MEROVAN_EXTRA_PORTS}" MEROVAN_CONNECT="${MEROVAN_CONNECT:-$port}" \
  build/src/merovan "$@"
