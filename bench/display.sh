#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Display-rate benchmark: Merovan beside CuteCom and GTKTerm, in the same run.
# Each terminal absorbs a pty flood of ~60-character lines; the table gives
# MB/s for the first 20 MB and for 20 MB after 50 MB, and memory at the end.
#
# Then `cat` and Merovan alone again in five forms, one after the other in
# the same run: the plain view, a raw session log, a raw log with
# timestamps, a raw log on a slow disk, and the hex view. Their rates are
# given as ratios of the plain view's (goals: 0.9 with a log, 0.5 in hex)
# and of cat's (goal: 0.5 for the plain view). The slow disk is a pipe
# whose reader stops for 20 ms after each read, as a disk that stalls now
# and then: the log's writer thread takes the stalls, the view does not.
#
# Usage: bench/display.sh [REPS]   (needs cutecom, gtkterm, xvfb, openbox,
# xdotool; the build in build/, or in MEROVAN_BUILD; PEERS=0 measures
# Merovan's own forms only)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
peerbench=${PEERBENCH:-$top/../shared/tools/peerbench}
reps=${1:-2}
build=${MEROVAN_BUILD:-$top/build}
peers=${PEERS:-1}

tools="Xvfb openbox xdotool"
[ "$peers" != 0 ] && tools="cutecom gtkterm $tools"
for tool in $tools; do
  command -v "$tool" >/dev/null 2>&1 || { echo "bench/display.sh needs $tool (apt-get install cutecom gtkterm xvfb openbox xdotool)" >&2; exit 1; }
done
[ -x "$build/src/merovan" ] || { echo "Build first: ./test.sh or cmake --build build" >&2; exit 1; }

# The peer tool writes its results beside itself; work on a copy.
work=$(mktemp -d)
xpid=""; wmpid=""
cleanup() {
  [ -n "$wmpid" ] && kill "$wmpid" 2>/dev/null
  [ -n "$xpid" ] && kill "$xpid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cp "$peerbench"/* "$work/"
ini="$work/Merovan.ini"

# One X server for the whole run, so that every figure shares it.
DISP=${DISP:-:91}
export DISP DISPLAY=$DISP
if [ ! -e "/tmp/.X${DISP#:}-lock" ]; then
  Xvfb "$DISP" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 & xpid=$!
  sleep 2
  openbox >/dev/null 2>&1 & wmpid=$!
  sleep 1
fi

if [ "$peers" != 0 ]; then
  "$work/run_all.sh" "$reps" -- --shell --label merovan --env QT_QPA_PLATFORM=xcb \
    --cmd "MEROVAN_INI=$ini MEROVAN_EXTRA_PORTS={port} MEROVAN_CONNECT={port} exec $build/src/merovan"
  cp "$work"/results-*.jsonl "$here/" 2>/dev/null || true
fi

# ---- Merovan's own forms, as ratios of its plain view -------------------
forms="$work/forms.jsonl"
run_form() { # label, ini text, log file or ""
  label=$1; text=$2; log=$3
  printf '%b' "$text" > "$work/$label.ini"
  rm -f "$work/$label.log"
  python3 "$work/peer_display.py" --shell --label "$label" --env QT_QPA_PLATFORM=xcb --rep-start "$r" \
    --json "$forms" \
    --cmd "MEROVAN_INI=$work/$label.ini MEROVAN_LOG=$log MEROVAN_EXTRA_PORTS={port} MEROVAN_CONNECT={port} exec $build/src/merovan"
  if [ -n "$log" ] && [ -f "$log" ]; then
    echo "$label: log holds $(wc -c < "$log") bytes"
    rm -f "$log"
  fi
}
r=1
# A disk that stalls: a pipe of 1 MiB read in bursts with 20 ms pauses.
slow_disk() { # fifo, byte-count file
  rm -f "$1"; mkfifo "$1"
  python3 - "$1" "$2" <<'PY' &
import fcntl, os, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY)
try:
    fcntl.fcntl(fd, 1031, 1 << 20)  # F_SETPIPE_SZ
except OSError:
    pass
n = 0
while True:
    d = os.read(fd, 1 << 20)
    if not d:
        break
    n += len(d)
    time.sleep(0.02)
open(sys.argv[2], "w").write(str(n))
PY
  slowpid=$!
}
r=1
while [ "$r" -le "$reps" ]; do
  python3 "$work/peer_display.py" --shell --cmd 'exec cat {port} >/dev/null' --label cat --settle 0.5 \
    --rep-start "$r" --json "$forms"
  run_form plain '' ''
  run_form log-raw '[LOG]\r\nRaw=1\r\nTimestamps=0\r\nOverwrite=1\r\n' "$work/log-raw.log"
  run_form log-raw-ts '[LOG]\r\nRaw=1\r\nTimestamps=1\r\nOverwrite=1\r\n' "$work/log-raw-ts.log"
  slow_disk "$work/slow.fifo" "$work/slow.count"
  run_form log-slow-disk '[LOG]\r\nRaw=1\r\nTimestamps=0\r\nOverwrite=0\r\n' "$work/slow.fifo"
  wait "$slowpid"
  echo "log-slow-disk: the slow disk took $(cat "$work/slow.count") bytes"
  run_form hex '[VIEW]\r\nHex=1\r\n' ''
  r=$((r + 1))
done
python3 "$work/peer_display.py" --table "$forms"
python3 - "$forms" <<'PY'
import json, sys
from collections import defaultdict
rates = defaultdict(lambda: defaultdict(list))
for line in open(sys.argv[1]):
    r = json.loads(line)
    if r.get("phase") in ("a", "b") and r.get("rate"):
        rates[r["label"]][r["phase"]].append(r["rate"])
def mean(v):
    return sum(v) / len(v) if v else float("nan")
print("\nRates as ratios of the plain view and of cat (phase a: first 20 MB; b: 20 MB after 50 MB)")
print(f"{'form':<14} {'a MB/s':>8} {'b MB/s':>8} {'a/plain':>8} {'b/plain':>8} {'a/cat':>7} {'b/cat':>7}  goal")
goals = {"log-raw": "plain >= 0.9", "log-raw-ts": "plain >= 0.9", "log-slow-disk": "plain >= 0.9",
         "hex": "plain >= 0.5", "plain": "cat >= 0.5"}
ca, cb = mean(rates["cat"]["a"]), mean(rates["cat"]["b"])
pa, pb = mean(rates["plain"]["a"]), mean(rates["plain"]["b"])
for label in ("cat", "plain", "log-raw", "log-raw-ts", "log-slow-disk", "hex"):
    a, b = mean(rates[label]["a"]), mean(rates[label]["b"])
    print(f"{label:<14} {a:8.2f} {b:8.2f} {a / pa:8.2f} {b / pb:8.2f} {a / ca:7.2f} {b / cb:7.2f}  {goals.get(label, '')}")
PY
cp "$forms" "$here/results-forms-$(date +%Y%m%d-%H%M%S).jsonl"
