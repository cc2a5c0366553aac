#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Idle benchmark: Merovan beside GTKTerm and CuteCom, in the same run, each
# connected to a quiet pseudo-terminal under Xvfb for DURATION seconds (30
# by default): its CPU share, and its wake-ups a second (poll, ppoll,
# epoll_wait... returns, counted with strace -c -f). Goal: Merovan's no
# higher than GTKTerm's.
#
# Usage: bench/idle.sh [DURATION]   (the build in build/, or in MEROVAN_BUILD;
# installs gtkterm, cutecom, strace, xvfb, openbox and xdotool from Debian
# when they are missing and it runs as root)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
peerbench=${PEERBENCH:-$top/../shared/tools/peerbench}
duration=${1:-30}
build=${MEROVAN_BUILD:-$top/build}

missing=""
for pair in gtkterm:gtkterm cutecom:cutecom strace:strace Xvfb:xvfb openbox:openbox xdotool:xdotool; do
  command -v "${pair%%:*}" >/dev/null 2>&1 || missing="$missing ${pair#*:}"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
  else
    echo "bench/idle.sh needs:$missing (apt-get install$missing)" >&2; exit 1
  fi
fi
[ -x "$build/src/merovan" ] || { echo "Build first: ./test.sh or cmake --build build" >&2; exit 1; }

work=$(mktemp -d)
xpid=""; wmpid=""
cleanup() {
  [ -n "$wmpid" ] && kill "$wmpid" 2>/dev/null
  [ -n "$xpid" ] && kill "$xpid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cp "$peerbench"/* "$here/idle.py" "$work/"

DISP=${DISP:-:92}
export DISPLAY=$DISP
if [ ! -e "/tmp/.X${DISP#:}-lock" ]; then
  Xvfb "$DISP" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 & xpid=$!
  sleep 2
  openbox >/dev/null 2>&1 & wmpid=$!
  sleep 1
fi

out="$work/idle.jsonl"
python3 "$work/idle.py" "$work" "$duration" "$out" merovan cmd \
  "MEROVAN_INI=$work/Merovan.ini MEROVAN_EXTRA_PORTS={port} MEROVAN_CONNECT={port} exec $build/src/merovan" \
  QT_QPA_PLATFORM=xcb
python3 "$work/idle.py" "$work" "$duration" "$out" gtkterm gtkterm
python3 "$work/idle.py" "$work" "$duration" "$out" cutecom cutecom
python3 - "$out" <<'PY'
import json, sys
rows = {r["label"]: r for r in map(json.loads, open(sys.argv[1]))}
print(f"\nIdle on a quiet pty, {next(iter(rows.values()))['seconds']:.0f} s each (CPU: 100% = one core)")
print(f"{'program':<10} {'CPU %':>7} {'wakeups/s':>10} {'syscalls/s':>11}")
for label in ("merovan", "gtkterm", "cutecom"):
    if label in rows:
        r = rows[label]
        print(f"{label:<10} {r['cpu_pct']:7.2f} {r['wakeups_per_s']:10.1f} {r['syscalls_per_s']:11.1f}")
m, g = rows.get("merovan"), rows.get("gtkterm")
if m and g:
    ratio = lambda a, b: a / b if b else float("inf")
    print(f"Merovan / GTKTerm: CPU {ratio(m['cpu_pct'], g['cpu_pct']):.2f}, "
          f"wakeups {ratio(m['wakeups_per_s'], g['wakeups_per_s']):.2f} (goal: <= 1)")
PY
cp "$out" "$here/results-idle-$(date +%Y%m%d-%H%M%S).jsonl"
