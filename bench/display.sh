#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Display-rate benchmark: Merovan beside CuteCom and GTKTerm, in the same run.
# Each terminal absorbs a pty flood of ~60-character lines; the table gives
# MB/s for the first 20 MB and for 20 MB after 50 MB, and memory at the end.
#
# Then Merovan alone again in four forms, one after the other in the same
# run: the plain view, a raw session log, a raw log with timestamps, and the
# hex view. Their rates are given as ratios of the plain view's (goals: 0.9
# with a log, 0.5 in hex).
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
while [ "$r" -le "$reps" ]; do
  run_form plain '' ''
  run_form log-raw '[LOG]\r\nRaw=1\r\nTimestamps=0\r\nOverwrite=1\r\n' "$work/log-raw.log"
  run_form log-raw-ts '[LOG]\r\nRaw=1\r\nTimestamps=1\r\nOverwrite=1\r\n' "$work/log-raw-ts.log"
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
print("\nRates as ratios of the plain view (phase a: first 20 MB; b: 20 MB after 50 MB)")
print(f"{'form':<12} {'a MB/s':>8} {'b MB/s':>8} {'a ratio':>8} {'b ratio':>8}  goal")
goals = {"log-raw": 0.9, "log-raw-ts": 0.9, "hex": 0.5}
for label in ("plain", "log-raw", "log-raw-ts", "hex"):
    a, b = mean(rates[label]["a"]), mean(rates[label]["b"])
    pa, pb = mean(rates["plain"]["a"]), mean(rates["plain"]["b"])
    goal = goals.get(label)
    print(f"{label:<12} {a:8.2f} {b:8.2f} {a / pa:8.2f} {b / pb:8.2f}  {'' if goal is None else '>= %.1f' % goal}")
PY
cp "$forms" "$here/results-forms-$(date +%Y%m%d-%H%M%S).jsonl"
