#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Intel HEX to binary: merovan-cli hex2bin beside objcopy and srec_cat on the
# same 12 MB file (32-byte records), in the same run. Prints MB/s of HEX text.
#
# Usage: bench/hex.sh [REPS]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
reps=${1:-3}
cli=$top/build/tools/cli/merovan-cli
[ -x "$cli" ] || { echo "Build first: ./test.sh or cmake --build build" >&2; exit 1; }
for tool in srec_cat objcopy; do
  command -v "$tool" >/dev/null 2>&1 || { echo "bench/hex.sh needs $tool (apt-get install srecord binutils)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# 12 MB of HEX text is about 5.4 MB of data in 32-byte records.
head -c 5400000 /dev/urandom > "$work/data.bin"
srec_cat "$work/data.bin" -binary -offset 0x1D000000 -o "$work/app.hex" -intel -address-length=4 -output_block_size=32
size=$(wc -c < "$work/app.hex")
kb=$(( (5400000 + 1023) / 1024 + 1 ))

best() { # best wall time of a command over $reps runs, in seconds
  b=""
  i=0
  while [ "$i" -lt "$reps" ]; do
    s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N)
    b=$(python3 -c "import sys; t=$e-$s; b='$b'; print(t if not b else min(t, float(b)))")
    i=$((i + 1))
  done
  echo "$b"
}

m=$(best "$cli" hex2bin --start 0x1D000000 --flash-kb "$kb" "$work/app.hex" "$work/m.bin")
o=$(best objcopy -I ihex -O binary "$work/app.hex" "$work/o.bin")
s=$(best srec_cat "$work/app.hex" -intel -offset -0x1D000000 -o "$work/s.bin" -binary)
cmp -n 5400000 "$work/m.bin" "$work/o.bin" >/dev/null && echo "images agree"
python3 - "$size" "$m" "$o" "$s" <<'PY'
import sys
size, m, o, s = int(sys.argv[1]), *map(float, sys.argv[2:])
mb = size / 1e6
print(f"HEX file: {mb:.1f} MB")
for name, t in (("merovan hex2bin", m), ("objcopy", o), ("srec_cat", s)):
    print(f"{name:16s} {t*1000:8.1f} ms  {mb/t:7.1f} MB/s")
print(f"merovan / objcopy: {o/m:.2f}x")
PY
