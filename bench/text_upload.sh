#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Line-paced text upload against the simulated device at a real line rate:
# a 1 MB file of 40-byte lines sent with merovan-cli text-file to
# merovan-devsim --ack 6 --rate 115200. Prints the payload rate as a
# fraction of the line rate (10 bits a byte), so one acknowledge turnaround
# per line is all that separates it from 100%.
#
# Usage: bench/text_upload.sh [SIZE_BYTES] [BAUD]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
size=${1:-1000000}
baud=${2:-115200}
cli=$top/build/tools/cli/merovan-cli
sim=$top/build/tools/devsim/merovan-devsim
[ -x "$cli" ] && [ -x "$sim" ] || { echo "Build first: ./test.sh or cmake --build build" >&2; exit 1; }

work=$(mktemp -d)
trap 'kill "$simpid" 2>/dev/null; rm -rf "$work"' EXIT
# 39 characters and LF: 40 bytes a line.
python3 - "$size" > "$work/upload.bas" <<'PY'
import sys
n = int(sys.argv[1]) // 40
for i in range(n):
    sys.stdout.write(("%06d PRINT \"benchmark line payload\"" % i).ljust(39)[:39] + "\n")
PY
"$sim" --ack 6 --no-echo --no-greeting --rate "$baud" --record "$work/rx" > "$work/port" &
simpid=$!
while [ ! -s "$work/port" ]; do sleep 0.05; done
port=$(head -n 1 "$work/port")

bytes=$(wc -c < "$work/upload.bas")
start=$(date +%s.%N)
"$cli" text-file -p "$port" -b "$baud" --wait 6 "$work/upload.bas"
end=$(date +%s.%N)
python3 - "$bytes" "$start" "$end" "$baud" <<'PY'
import sys
size, start, end, baud = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
secs = end - start - 0.5  # the port's settling wait after open
line = baud / 10.0
rate = size / secs
print(f"text upload: {size} bytes in {secs:.2f} s = {rate:.0f} B/s; line rate {line:.0f} B/s; "
      f"{100 * rate / line:.1f}% of the line rate")
PY
