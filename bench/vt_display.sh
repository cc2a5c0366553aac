#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Terminal emulation display rate: Merovan's emulated screen against its raw
# view, beside GTKTerm (which emulates with VTE), in the same run, on two
# streams: an ESP-IDF-like coloured log (each line "ESC[0;32mI (ms) tag: ...
# ESC[0m" in green, yellow or red) and plain text lines. Each program absorbs a
# pty flood (the shared peerbench tool: phase a the first A_MB, then filled to
# FILL_MB, phase b the next B_MB); the table gives MB/s, the emulation's rate
# as a ratio of the raw view's (goal: 0.5 or more, and faster than GTKTerm),
# and the memory at the end of phases a, fill and b: once the view's
# 100,000-line ring is full, it stays flat.
#
# Usage: bench/vt_display.sh [REPS]   (needs gtkterm, xvfb, openbox, xdotool;
# the build in build/, or in MEROVAN_BUILD; A_MB, FILL_MB, B_MB: 20, 50, 20)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
peerbench=${PEERBENCH:-$top/../shared/tools/peerbench}
reps=${1:-1}
build=${MEROVAN_BUILD:-$top/build}
a_mb=${A_MB:-20}
fill_mb=${FILL_MB:-50}
b_mb=${B_MB:-20}

for tool in gtkterm Xvfb openbox xdotool python3; do
  command -v "$tool" >/dev/null 2>&1 || { echo "bench/vt_display.sh needs $tool (apt-get install gtkterm xvfb openbox xdotool)" >&2; exit 1; }
done
[ -x "$build/src/merovan" ] || { echo "Build first: ./test.sh or cmake --build build" >&2; exit 1; }

work=$(mktemp -d)
xpid=""; wmpid=""
cleanup() {
  [ -n "$wmpid" ] && kill "$wmpid" 2>/dev/null
  [ -n "$xpid" ] && kill "$xpid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cp "$peerbench"/* "$work/"

DISP=${DISP:-:93}
export DISPLAY=$DISP
if [ ! -e "/tmp/.X${DISP#:}-lock" ]; then
  Xvfb "$DISP" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 & xpid=$!
  sleep 2
  openbox >/dev/null 2>&1 & wmpid=$!
  sleep 1
fi

printf '' > "$work/raw.ini"
printf '[VIEW]\r\nEmulation=1\r\n' > "$work/vt.ini"
results="$work/vt.jsonl"

# The peer tool with its stream replaced: the coloured log, or plain lines.
run() { # stream, label, then the peer tool's own arguments
  stream=$1; label=$2; shift 2
  python3 - "$work" "$stream" --label "$stream-$label" --rep-start "$r" --json "$results" \
    --a-mb "$a_mb" --fill-to-mb "$fill_mb" --b-mb "$b_mb" "$@" <<'PY'
import random, sys
sys.path.insert(0, sys.argv[1])
import peer_display as p
stream = sys.argv[2]
def esp_log(seed, ctrl_frac, size=1 << 20):
    rnd = random.Random(seed)
    tags = ["wifi", "esp_netif", "app_main", "cpu_start", "heap_init", "spi_flash", "phy_init", "nvs"]
    out = bytearray()
    ms = 0
    while len(out) < size:
        ms += rnd.randint(1, 40)
        level, colour = rnd.choice([("I", "32")] * 8 + [("W", "33")] * 2 + [("E", "31")])
        words = " ".join("".join(rnd.choices("abcdefghijklmnopqrstuvwxyz", k=rnd.randint(2, 8)))
                         for _ in range(rnd.randint(4, 9)))
        out += f"\x1b[0;{colour}m{level} ({ms}) {rnd.choice(tags)}: {words}\x1b[0m\r\n".encode()
    return bytes(out)
plain = p.make_block
p.make_block = esp_log if stream == "esp" else (lambda seed, frac, size=1 << 20: plain(seed, 0.0, size))
sys.argv = [sys.argv[0]] + sys.argv[3:]
sys.exit(p.main())
PY
}

r=1
while [ "$r" -le "$reps" ]; do
  for stream in esp plain; do
    run "$stream" raw --shell --env QT_QPA_PLATFORM=xcb \
      --cmd "MEROVAN_INI=$work/raw.ini MEROVAN_EXTRA_PORTS={port} MEROVAN_CONNECT={port} exec $build/src/merovan"
    run "$stream" emulation --shell --env QT_QPA_PLATFORM=xcb \
      --cmd "MEROVAN_INI=$work/vt.ini MEROVAN_EXTRA_PORTS={port} MEROVAN_CONNECT={port} exec $build/src/merovan"
    run "$stream" gtkterm --preset gtkterm
  done
  r=$((r + 1))
done
python3 "$work/peer_display.py" --table "$results"
python3 - "$results" <<'PY'
import json, sys
from collections import defaultdict
rate = defaultdict(list)
rss = defaultdict(lambda: defaultdict(list))
for line in open(sys.argv[1]):
    r = json.loads(line)
    if r.get("rate"):
        if r.get("phase") in ("a", "b"):
            rate[(r["label"], r["phase"])].append(r["rate"])
    if r.get("rss_mib"):
        rss[r["label"]][r.get("phase")].append(r["rss_mib"])
mean = lambda v: sum(v) / len(v) if v else float("nan")
print("\nEmulation as a ratio of the raw view, beside GTKTerm (MB/s; a: first MB, b: after the fill)")
print(f"{'stream':<7} {'raw a':>7} {'emu a':>7} {'vte a':>7} {'emu/raw a':>9} {'raw b':>7} {'emu b':>7} {'vte b':>7} {'emu/raw b':>9}")
for s in ("esp", "plain"):
    v = {k: mean(rate[(f"{s}-{k}", ph)]) for k in ("raw", "emulation", "gtkterm") for ph in ("a",)}
    w = {k: mean(rate[(f"{s}-{k}", "b")]) for k in ("raw", "emulation", "gtkterm")}
    print(f"{s:<7} {v['raw']:7.2f} {v['emulation']:7.2f} {v['gtkterm']:7.2f} {v['emulation'] / v['raw']:9.2f}"
          f" {w['raw']:7.2f} {w['emulation']:7.2f} {w['gtkterm']:7.2f} {w['emulation'] / w['raw']:9.2f}")
print("\nMemory (MiB) at the end of each phase: flat once the ring is full")
for label in sorted(rss):
    parts = " ".join(f"{ph}={mean(v):.1f}" for ph, v in rss[label].items())
    print(f"{label:<16} {parts}")
PY
cp "$results" "$here/results-vt-$(date +%Y%m%d-%H%M%S).jsonl"
