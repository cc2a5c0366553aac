#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# File transfers at a real line rate: a random file (1 MB by default) at
# 115200 baud through merovan-ptybridge's paced link, each protocol in each
# direction, Merovan beside lrzsz-to-lrzsz on the same kind of link in the
# same run. Each row's Merovan and lrzsz runs go side by side, each on a
# bridge of its own, so both meet the same machine load; rows go one after
# another (about 95 s each for 1 MB).
#
# The time of a row is the session on the wire, as the bridge saw it: from
# the first byte of the program on its pseudo-terminal end (its start
# request, or its first block) to the last byte either way (the final ACK),
# so program and port start-up do not count, but the protocols' own waits
# do. The far-end program runs from before. The payload rate is the file's
# size over that time, as a share of the line rate (10 bits a byte).
#
# lrzsz-to-lrzsz has its sender on the pseudo-terminal and its receiver at
# the far end (a socket) in both directions: lrzsz's receivers on a
# pseudo-terminal had blocks damaged ("NAK on sector") and flush the
# terminal as they exit, losing their last ACK.
#
# Usage: bench/transfers.sh [KB] [BAUD]
#   MEROVAN_BUILD   the build folder (default: build/)
#   ONLY            run only the protocols matching this (xmodem-1k, ymodem,
#                   zmodem; a grep pattern), the others show as "skipped"
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
kb=${1:-1024}
baud=${2:-115200}
build=${MEROVAN_BUILD:-$top/build}
cli=$build/tools/cli/merovan-cli
bridge=$build/tests/e2e/merovan-ptybridge
[ -x "$cli" ] && [ -x "$bridge" ] || { echo "Build first: ./test.sh or cmake --build build" >&2; exit 1; }
for tool in sx rx sb rb sz rz; do
  command -v "$tool" >/dev/null || { echo "lrzsz is missing: tools/install-deps.sh" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'jobs -p | xargs -r kill 2>/dev/null; rm -rf "$work"' EXIT
head -c $((kb * 1024)) /dev/urandom > "$work/data.bin"
size=$((kb * 1024))

# One row: NAME, then the program run on the pseudo-terminal end ({port} is
# its path, {dir} a fresh folder), then the far end's shell command line.
# Prints "NAME SECONDS OK|FAILED".
run() {
  local name=$1 near=$2 far=$3
  local dir="$work/$name"
  mkdir -p "$dir/rx"
  far=${far//\{dir\}/$dir}
  "$bridge" --rate "$baud" --stats "$dir/stats" --peer-log "$dir/far.log" -- /bin/sh -c "$far" > "$dir/ports" &
  local bp=$!
  while [ "$(cat "$dir/ports" 2>/dev/null | wc -l)" -lt 2 ]; do sleep 0.02; done
  sleep 0.5 # the far end settles (sx drops what came before it was ready)
  local port
  port=$(head -n 1 "$dir/ports")
  near=${near//\{port\}/$port}
  near=${near//\{dir\}/$dir}
  local status=0
  (cd "$dir/rx" && eval "$near") > "$dir/near.log" 2>&1 < /dev/null || status=$?
  sleep 0.3
  kill "$bp" 2>/dev/null || true
  wait "$bp" 2>/dev/null || true
  local first=0 last=0
  read -r first last _ < "$dir/stats" || true
  # Whole only when the file arrived byte for byte (XMODEM: up to padding).
  local got ok=FAILED
  got=$(find "$dir/rx" -type f -name 'data.bin*' ! -name '*.part' | head -n 1)
  if [ "$status" = 0 ] && [ -n "$got" ] && [ "$last" -gt "$first" ] && cmp -s -n "$size" "$work/data.bin" "$got"; then
    ok=OK
  fi
  echo "$name $(awk "BEGIN{print ($last - $first) / 1e6}") $ok" > "$work/$name.result"
}

m="$cli"
line="-b $baud"
# name | near end (on the pseudo-terminal) | far end
rows=(
  "xmodem-1k-send-merovan|$m xmodem send -p {port} $line --1k $work/data.bin|cd {dir}/rx && exec rx -c data.bin"
  "xmodem-1k-send-lrzsz|sx -k $work/data.bin < {port} > {port}|cd {dir}/rx && exec rx -c data.bin"
  "xmodem-1k-recv-merovan|$m xmodem recv -p {port} $line data.bin|exec sx -k $work/data.bin"
  "xmodem-1k-recv-lrzsz|sx -k $work/data.bin < {port} > {port}|cd {dir}/rx && exec rx -c data.bin"
  "ymodem-send-merovan|$m ymodem send -p {port} $line $work/data.bin|cd {dir}/rx && exec rb"
  "ymodem-send-lrzsz|sb -k $work/data.bin < {port} > {port}|cd {dir}/rx && exec rb"
  "ymodem-recv-merovan|$m ymodem recv -p {port} $line|exec sb -k $work/data.bin"
  "ymodem-recv-lrzsz|sb -k $work/data.bin < {port} > {port}|cd {dir}/rx && exec rb"
  "zmodem-send-merovan|$m zmodem send -p {port} $line $work/data.bin|cd {dir}/rx && exec rz"
  "zmodem-send-lrzsz|sz $work/data.bin < {port} > {port}|cd {dir}/rx && exec rz"
  "zmodem-recv-merovan|$m zmodem recv -p {port} $line|exec sz $work/data.bin"
  "zmodem-recv-lrzsz|sz $work/data.bin < {port} > {port}|cd {dir}/rx && exec rz"
)
for ((i = 0; i < ${#rows[@]}; i += 2)); do
  [[ -n "${ONLY:-}" ]] && ! grep -q -- "${ONLY}" <<< "${rows[i]%%|*}" && continue
  for r in "${rows[i]}" "${rows[i + 1]}"; do
    IFS='|' read -r name near far <<< "$r"
    run "$name" "$near" "$far" &
  done
  wait
done

echo "File transfers: $kb KB of random data at $baud baud (line rate $((baud / 10)) B/s), paced pty link"
echo
printf '%-12s %-5s %22s %22s\n' "protocol" "dir" "Merovan" "lrzsz-to-lrzsz"
for proto in xmodem-1k ymodem zmodem; do
  for dir in send recv; do
    cells=()
    for who in merovan lrzsz; do
      secs=0 ok=FAILED
      [ -f "$work/$proto-$dir-$who.result" ] && { read -r _ secs ok < "$work/$proto-$dir-$who.result" || true; }
      if [ ! -f "$work/$proto-$dir-$who.result" ]; then
        cells+=("skipped")
      elif [ "$ok" = OK ]; then
        cells+=("$(python3 -c "import sys; s=float(sys.argv[1]); r=$size/s; print(f'{r:6.0f} B/s {100*r/($baud/10):5.1f}%')" "$secs")")
      else
        cells+=("failed")
      fi
    done
    printf '%-12s %-5s %22s %22s\n' "$proto" "$dir" "${cells[0]}" "${cells[1]}"
  done
done
echo
echo "send: Merovan or lrzsz sends to lrzsz; recv: they receive from lrzsz."
