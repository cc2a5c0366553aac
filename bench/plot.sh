#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Plot benchmark. merovan-devsim prints 16 series at 1 kHz each (16,000
# samples a second, about 250 KB/s of text) through a pty into Merovan under
# Xvfb, for SECS seconds (60) with the plot open beside the terminal, then
# for as long with the plot closed (the plain terminal), in the same run.
# Reports the frames per second the plot drew (goal: 25 or more), Merovan's
# CPU share of one core in both runs (goal: 25% or less with the plot),
# resident memory at 10 s and at the end, and the samples taken.
#
# Then the parser's own throughput in MB/s (alone, and with the sample
# store), beside the raw view's display rate from the newest
# bench/results-*.jsonl that bench/display.sh wrote.
#
# Usage: bench/plot.sh   (needs Xvfb and a C++ compiler; the build in build/,
# or in MEROVAN_BUILD; SECS=N for shorter runs)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
build=${MEROVAN_BUILD:-$top/build}
secs=${SECS:-60}
command -v Xvfb >/dev/null 2>&1 || { echo "bench/plot.sh needs Xvfb (apt-get install xvfb)" >&2; exit 1; }
for f in src/merovan tools/devsim/merovan-devsim src/libmerovan_core.a; do
  [ -e "$build/$f" ] || { echo "Build first: ./test.sh or cmake --build build" >&2; exit 1; }
done

work=$(mktemp -d)
xpid=""; apid=""; dpid=""
cleanup() {
  for p in $apid $dpid $xpid; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

DISP=${DISP:-:92}
export DISPLAY=$DISP
if [ ! -e "/tmp/.X${DISP#:}-lock" ]; then
  Xvfb "$DISP" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 & xpid=$!
  sleep 2
fi
ticks=$(getconf CLK_TCK)

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_mib() { awk '/^VmRSS/ {printf "%.1f", $2 / 1024}' "/proc/$1/status"; }
now_ms() { date +%s%3N; }

# One run: label, whether the plot is open. Prints a table row.
run() {
  label=$1; visible=$2
  printf '[MainForm]\r\nFont=DejaVu Sans Mono\r\nFontSize=10\r\n[MainFORM]\r\nWidth=1200\r\nHeight=750\r\nLeft=0\r\nTop=0\r\n[PLOT]\r\nVisible=%s\r\nArea=2\r\n' \
    "$visible" > "$work/$label.ini"
  "$build/tools/devsim/merovan-devsim" --stream-series 1000 --series 16 --no-greeting > "$work/devsim.out" 2>&1 & dpid=$!
  while [ ! -s "$work/devsim.out" ]; do sleep 0.1; done
  port=$(head -1 "$work/devsim.out")
  QT_QPA_PLATFORM=xcb MEROVAN_INI="$work/$label.ini" MEROVAN_EXTRA_PORTS="$port" MEROVAN_CONNECT="$port" \
    MEROVAN_PLOT_STATS="$work/$label.stats" "$build/src/merovan" >/dev/null 2>&1 & apid=$!
  start=$(now_ms)
  sleep 5
  c0=$(cpu_ticks "$apid"); t0=$(now_ms)
  sleep 5
  rss10=$(rss_mib "$apid")
  sleep $((secs - 10))
  c1=$(cpu_ticks "$apid"); t1=$(now_ms)
  rssEnd=$(rss_mib "$apid")
  kill "$apid"; wait "$apid" 2>/dev/null || true; apid=""
  kill "$dpid"; wait "$dpid" 2>/dev/null || true; dpid=""
  python3 - "$work/$label.stats" "$label" "$c0" "$c1" "$t0" "$t1" "$ticks" "$rss10" "$rssEnd" "$secs" "$visible" <<'PY'
import sys
stats, label, c0, c1, t0, t1, ticks, rss10, rss_end, secs, visible = sys.argv[1:]
cpu = (int(c1) - int(c0)) / int(ticks) / ((int(t1) - int(t0)) / 1000.0) * 100
rows = [list(map(int, l.split())) for l in open(stats) if l.strip()] if visible == "1" else []
fps = frame = "-"
samples = "-"
if len(rows) > 6:
    a, b = rows[4], rows[-1]          # from the fifth second on
    dt = (b[0] - a[0]) / 1000.0
    frames = b[1] - a[1]
    fps = "%.1f" % (frames / dt)
    frame = "%.1f ms" % ((b[2] - a[2]) / 1000.0 / max(frames, 1))
    samples = "{:,} ({:,}/s)".format(b[3], int((b[3] - a[3]) / dt))
load = open("/proc/loadavg").read().split()[0]
print("| %s | %s s | %s | %s | %.1f%% | %s MiB | %s MiB | %s | %s |"
      % (label, secs, fps, frame, cpu, rss10, rss_end, samples, load))
PY
}

echo "| Run | Length | Frames/s | Paint time per frame | CPU (one core) | RSS at 10 s | RSS at end | Samples | Load average |"
echo "|---|---|---|---|---|---|---|---|---|"
run plot 1
run terminal 0

# ---- Parser throughput ----------------------------------------------------
c++ -O2 -std=c++20 -I"$top/src" "$here/plot_parse.cpp" "$build/src/libmerovan_core.a" -o "$work/plot_parse"
"$work/plot_parse" 64 > "$work/parse.txt"
latest=$(ls -t "$here"/results-*.jsonl 2>/dev/null | head -1 || true)
python3 - "$work/parse.txt" "${latest:-}" <<'PY'
import json, sys
parse = dict(l.rsplit(" ", 1) for l in open(sys.argv[1]).read().split("\n") if l)
view = None
if sys.argv[2]:
    rates = [json.loads(l)["rate"] for l in open(sys.argv[2])
             if '"label": "merovan"' in l and json.loads(l).get("phase") in ("a", "b")]
    if rates:
        view = sum(rates) / len(rates)
print()
print("| Parser | MB/s | Times the raw view's display rate |")
print("|---|---|---|")
for name in ("parser", "parser+store"):
    mb = float(parse[name])
    print("| %s | %.1f | %s |" % (name, mb, "%.0f" % (mb / view) if view else "-"))
if view:
    print("\nRaw view display rate: %.2f MB/s (%s)" % (view, sys.argv[2].rsplit("/", 1)[-1]))
PY
