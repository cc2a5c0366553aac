#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Application loading at a real line rate: a 256 KB image through
# merovan-devsim --rate 115200, with boot loader version 2 (2000-byte
# blocks) and version 1 (XMODEM-1K). The payload rate counts from the first
# progress report, after the fixed start-up waits, and is given as a
# fraction of the line rate (10 bits a byte) and, for XMODEM-1K, of its
# ceiling of 1024/1029.
#
# Usage: bench/boot.sh [KB] [BAUD]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
kb=${1:-256}
baud=${2:-115200}
cli=$top/build/tools/cli/merovan-cli
sim=$top/build/tools/devsim/merovan-devsim
[ -x "$cli" ] && [ -x "$sim" ] || { echo "Build first: ./test.sh or cmake --build build" >&2; exit 1; }

work=$(mktemp -d)
simpid=""
trap '[ -n "$simpid" ] && kill "$simpid" 2>/dev/null; rm -rf "$work"' EXIT
head -c $((kb * 1024)) /dev/urandom > "$work/app.bin"

for version in 2 1; do
  "$sim" --boot --boot-version "$version" --rate "$baud" --record "$work/rx$version" > "$work/port" &
  simpid=$!
  while [ ! -s "$work/port" ]; do sleep 0.05; done
  port=$(head -n 1 "$work/port")
  rate=$("$cli" boot -p "$port" -b "$baud" --flash-kb 512 --timing "$work/app.bin" 2>&1 | sed -n 's/^data rate: \([0-9]*\) B\/s.*/\1/p')
  kill "$simpid"; wait "$simpid" 2>/dev/null || true; simpid=""
  rm -f "$work/port"
  python3 - "$version" "$((kb * 1024))" "$rate" "$baud" <<'PY'
import sys
version, size, rate, baud = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
line = baud / 10.0
share = rate / line
if version == 1:
    ceiling = 1024 / 1029
    print(f"v1 XMODEM-1K: {size} bytes at {rate:.0f} B/s; {100*share:.1f}% of the line rate, "
          f"{100*share/ceiling:.1f}% of XMODEM-1K's ceiling")
else:
    print(f"v2 blocks:    {size} bytes at {rate:.0f} B/s; {100*share:.1f}% of the line rate")
PY
done
