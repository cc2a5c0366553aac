#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Raw binary upload at a real line rate: a 4 MB file through merovan-cli
# binary to merovan-devsim --rate 2000000. The payload rate (between the
# first and last progress reports) is given as a fraction of the line rate
# (10 bits a byte).
#
# Usage: bench/binary.sh [MB] [BAUD]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
mb=${1:-4}
baud=${2:-2000000}
cli=$top/build/tools/cli/merovan-cli
sim=$top/build/tools/devsim/merovan-devsim
[ -x "$cli" ] && [ -x "$sim" ] || { echo "Build first: ./test.sh or cmake --build build" >&2; exit 1; }

work=$(mktemp -d)
simpid=""
trap '[ -n "$simpid" ] && kill "$simpid" 2>/dev/null; rm -rf "$work"' EXIT
head -c $((mb * 1024 * 1024)) /dev/urandom > "$work/data.bin"
"$sim" --no-echo --no-greeting --rate "$baud" --record "$work/rx" > "$work/port" &
simpid=$!
while [ ! -s "$work/port" ]; do sleep 0.05; done
port=$(head -n 1 "$work/port")
rate=$("$cli" binary -p "$port" -b "$baud" --timing "$work/data.bin" 2>&1 | sed -n 's/^data rate: \([0-9]*\) B\/s.*/\1/p')
sleep 0.5
cmp -n $((mb * 1024 * 1024)) "$work/data.bin" "$work/rx" >/dev/null && echo "the device received every byte"
python3 - "$rate" "$baud" <<'PY'
import sys
rate, baud = float(sys.argv[1]), int(sys.argv[2])
line = baud / 10.0
print(f"binary upload: {rate:.0f} B/s; line rate {line:.0f} B/s; {100 * rate / line:.1f}% of the line rate")
PY
