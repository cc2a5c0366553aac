#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Soak: Merovan under Xvfb against merovan-devsim streaming mixed text and
# binary at 1 MB/s, with a raw session log with timestamps, the device killed
# and started again (a reconnect) every cycle. Not part of CI.
#
# Reports the resident memory sampled every 10 s (it must stay flat once the
# view's line limit is reached), the share of the sent bytes that are in the
# log, and a byte-for-byte comparison of the log with what devsim sent.
#
# Usage: bench/soak.sh [MINUTES [CYCLE_SECONDS [RATE]]]   (defaults 30, 300,
# 1000000; needs Xvfb and the build in build/, or in MEROVAN_BUILD)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
minutes=${1:-30}
cycle=${2:-300}
rate=${3:-1000000}
build=${MEROVAN_BUILD:-$top/build}
merovan=$build/src/merovan
devsim=$build/tools/devsim/merovan-devsim
[ -x "$merovan" ] && [ -x "$devsim" ] || { echo "Build first: ./test.sh or cmake --build build" >&2; exit 1; }
command -v Xvfb >/dev/null || { echo "bench/soak.sh needs Xvfb (apt-get install xvfb)" >&2; exit 1; }

work=${SOAK_DIR:-$(mktemp -d)}
mkdir -p "$work"
link=$work/ttySOAK
xpid=""; mpid=""; dpid=""
cleanup() {
  for p in $dpid $mpid $xpid; do kill "$p" 2>/dev/null || true; done
}
trap cleanup EXIT INT TERM

disp=${SOAK_DISPLAY:-:93}
Xvfb "$disp" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 & xpid=$!
sleep 2

run=0
start_device() {
  run=$((run + 1))
  "$devsim" --link "$link" --stream "$rate" --sent "$work/sent-$run" > "$work/devsim-$run.out" 2>&1 & dpid=$!
  for _ in 1 2 3 4 5 6 7 8 9 10; do [ -e "$link" ] && break; sleep 0.1; done
}
# The device is paused until Merovan has read all it sent (at most 30 s)
# before it goes: what a pty holds when its device end closes is thrown
# away, and would count as missing from the log.
stop_device() {
  kill -STOP "$dpid" 2>/dev/null || true
  python3 - "$link" <<'PY' || sleep 1
import fcntl, os, struct, sys, termios, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
end, quiet = time.time() + 30, 0
while time.time() < end and quiet < 3:
    waiting = struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"))[0]
    quiet = quiet + 1 if waiting == 0 else 0
    time.sleep(0.05)
PY
  kill -TERM "$dpid" 2>/dev/null || true
  kill -CONT "$dpid" 2>/dev/null || true
  wait "$dpid" 2>/dev/null || true
}
start_device

printf '[LOG]\r\nRaw=1\r\nTimestamps=1\r\nOverwrite=1\r\n[VIEW]\r\nTimestamps=1\r\n' > "$work/Merovan.ini"
DISPLAY=$disp QT_QPA_PLATFORM=xcb MEROVAN_INI=$work/Merovan.ini MEROVAN_LOG=$work/session.log \
  MEROVAN_EXTRA_PORTS=$link MEROVAN_CONNECT=$link "$merovan" > "$work/merovan.out" 2>&1 & mpid=$!

echo "soak: $minutes min, device restarted every $cycle s, $rate B/s; work in $work"
printf 'seconds\trss_kib\tlog_bytes\n' > "$work/rss.tsv"
began=$(date +%s)
end=$((began + minutes * 60))
next_cycle=$((began + cycle))
while :; do
  now=$(date +%s)
  [ "$now" -ge "$end" ] && break
  kill -0 "$mpid" 2>/dev/null || { echo "soak: Merovan ended early" >&2; break; }
  rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$mpid/status")
  logged=$(stat -c %s "$work/session.log" 2>/dev/null || echo 0)
  printf '%s\t%s\t%s\n' $((now - began)) "$rss" "$logged" >> "$work/rss.tsv"
  if [ "$now" -ge "$next_cycle" ]; then
    stop_device
    sleep 1
    start_device
    next_cycle=$((next_cycle + cycle))
  fi
  sleep 10
done

# The device goes quiet first, so that the log has everything it was sent.
stop_device; dpid=""
sleep 2
kill "$mpid" 2>/dev/null || true; wait "$mpid" 2>/dev/null || true; mpid=""

python3 - "$work/rss.tsv" <<'PY'
import sys
rows = [l.split("\t") for l in open(sys.argv[1]).read().split("\n")[1:] if l]
rss = [(int(s), int(r)) for s, r, _ in rows]
peak = max(r for _, r in rss)
later = [r for s, r in rss if s >= 60]
print(f"resident memory: peak {peak / 1024:.1f} MiB over {len(rss)} samples;"
      + (f" after the first minute {min(later) / 1024:.1f} to {max(later) / 1024:.1f} MiB" if later else ""))
PY
sent_files=$(ls "$work"/sent-* | sort -t- -k2 -n)
# shellcheck disable=SC2086
python3 "$here/log_compare.py" --timestamps "$work/session.log" $sent_files | tee "$work/compare.txt"
echo "figures and files: $work"
