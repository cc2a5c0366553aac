#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A board on another machine against one on this machine: ZMODEM and a raw
# binary upload of a random file (1 MB by default) at 115200 and 921600
# baud, once through ser2net's RFC 2217 accepter on loopback and once on
# the local pseudo-terminal, both paced by merovan-ptybridge at the same
# rate, side by side so both meet the same machine load. The far end (rz,
# or head for the raw upload) sits on the bridge's other end.
#
# A row's time is the session on the wire, as the bridge saw it: from the
# first byte that reached the device's line to the last byte either way, so
# connecting, negotiating and program start-up do not count. The ratio is
# the local time over the remote one: 1.0 means the network costs nothing.
#
# Then the echo of a keystroke: merovan-echobench writes one byte and waits
# for merovan-devsim's echo, 500 times, on the pseudo-terminal and through
# ser2net; the median and 99th percentile, and what ser2net adds.
#
# Usage: bench/remote.sh [KB]
#   MEROVAN_BUILD   the build folder (default: build/)
#   BAUDS           the rates (default: "115200 921600")
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
kb=${1:-1024}
bauds=${BAUDS:-"115200 921600"}
build=${MEROVAN_BUILD:-$top/build}
cli=$build/tools/cli/merovan-cli
sim=$build/tools/devsim/merovan-devsim
bridge=$build/tests/e2e/merovan-ptybridge
echobench=$build/tests/e2e/merovan-echobench
for f in "$cli" "$sim" "$bridge" "$echobench"; do
  [ -x "$f" ] || { echo "Build first: cmake --build build (missing $f)" >&2; exit 1; }
done
ser2net=$(command -v ser2net || echo /usr/sbin/ser2net)
[ -x "$ser2net" ] || { echo "ser2net is missing: tools/install-deps.sh" >&2; exit 1; }
command -v rz >/dev/null || { echo "lrzsz is missing: tools/install-deps.sh" >&2; exit 1; }

work=$(mktemp -d)
trap 'jobs -p | xargs -r kill 2>/dev/null; rm -rf "$work"' EXIT
size=$((kb * 1024))
head -c "$size" /dev/urandom > "$work/data.bin"

freeport() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
listening() {
  python3 - "$1" <<'PY'
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    s.bind(("127.0.0.1", int(sys.argv[1])))
    sys.exit(1)
except OSError:
    sys.exit(0)
PY
}

# ser2net with an RFC 2217 accepter for DEVICE on a free port in the
# background; prints the port name. Its pid goes to FILE.
start_ser2net() {
  local device=$1 baud=$2 pidfile=$3 port
  port=$(freeport)
  cat > "$pidfile.yaml" <<YAML
connection: &bench
    accepter: telnet(rfc2217),tcp,127.0.0.1,$port
    connector: serialdev,$device,${baud}n81,local
YAML
  "$ser2net" -n -u -c "$pidfile.yaml" >/dev/null 2>&1 &
  echo $! > "$pidfile"
  for _ in $(seq 200); do listening "$port" && break; sleep 0.02; done
  echo "rfc2217://127.0.0.1:$port"
}

# One run: NAME BAUD local|rfc2217 zmodem|binary. Writes "SECONDS OK|FAILED"
# to $work/NAME.result.
run() {
  trap - EXIT # runs in the background: the clean-up is the main shell's
  local name=$1 baud=$2 via=$3 kind=$4
  local dir="$work/$name"
  mkdir -p "$dir/rx"
  local far near
  if [ "$kind" = zmodem ]; then
    far="cd $dir/rx && exec rz -q"
    near="zmodem send"
  else
    far="exec head -c $size > $dir/rx/data.bin"
    near="binary"
  fi
  "$bridge" --rate "$baud" --stats "$dir/stats" --peer-log "$dir/far.log" -- /bin/sh -c "$far" > "$dir/ports" &
  local bp=$!
  while [ "$(cat "$dir/ports" 2>/dev/null | wc -l)" -lt 2 ]; do sleep 0.02; done
  local port
  port=$(head -n 1 "$dir/ports")
  if [ "$via" = rfc2217 ]; then
    port=$(start_ser2net "$port" "$baud" "$dir/ser2net.pid")
  fi
  sleep 0.5
  local status=0
  # shellcheck disable=SC2086
  "$cli" $near -p "$port" -b "$baud" "$work/data.bin" > "$dir/near.log" 2>&1 || status=$?
  for _ in $(seq 300); do kill -0 "$bp" 2>/dev/null || break; sleep 0.1; done
  kill "$bp" 2>/dev/null || true
  wait "$bp" 2>/dev/null || true
  if [ -f "$dir/ser2net.pid" ]; then kill "$(cat "$dir/ser2net.pid")" 2>/dev/null || true; fi
  local first=0 last=0
  read -r first last _ < "$dir/stats" || true
  local ok=FAILED
  if [ "$status" = 0 ] && [ "$last" -gt "$first" ] && cmp -s -n "$size" "$work/data.bin" "$dir/rx/data.bin"; then
    ok=OK
  fi
  echo "$(awk "BEGIN{print ($last - $first) / 1e6}") $ok" > "$work/$name.result"
}

echo "| transfer | baud | local pty s | RFC 2217 via ser2net s | ratio local/remote |"
echo "|---|---|---|---|---|"
for baud in $bauds; do
  for kind in zmodem binary; do
    run "$kind-$baud-local" "$baud" local "$kind" &
    a=$!
    run "$kind-$baud-remote" "$baud" rfc2217 "$kind" &
    b=$!
    wait "$a" "$b" || true
    read -r tl okl < "$work/$kind-$baud-local.result"
    read -r tr okr < "$work/$kind-$baud-remote.result"
    ratio=$(awk "BEGIN{ if ($tr > 0) printf \"%.3f\", $tl / $tr; else print \"-\" }")
    label="ZMODEM send ${kb} KB"
    [ "$kind" = binary ] && label="raw binary upload ${kb} KB"
    echo "| $label | $baud | $tl ($okl) | $tr ($okr) | $ratio |"
  done
done

echo
"$sim" --no-greeting > "$work/sim.port" &
while [ ! -s "$work/sim.port" ]; do sleep 0.02; done
pty=$(head -n 1 "$work/sim.port")
read -r lm lp < <("$echobench" "$pty" 500)
url=$(start_ser2net "$pty" 115200 "$work/echo-ser2net.pid")
read -r rm rp < <("$echobench" "$url" 500)
kill "$(cat "$work/echo-ser2net.pid")" 2>/dev/null || true
echo "| keystroke echo | median us | p99 us |"
echo "|---|---|---|"
echo "| local pty | $lm | $lp |"
echo "| RFC 2217 via ser2net | $rm | $rp |"
echo "| added by ser2net | $((rm - lm)) | $((rp - lp)) |"
