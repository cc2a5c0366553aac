#!/bin/sh
# Display-rate benchmark: Merovan beside CuteCom and GTKTerm, in the same run.
# Each terminal absorbs a pty flood of ~60-character lines; the table gives
# MB/s for the first 20 MB and for 20 MB after 50 MB, and memory at the end.
#
# Usage: bench/display.sh [REPS]   (needs cutecom, gtkterm, xvfb, openbox,
# xdotool; the build in build/)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
peerbench=${PEERBENCH:-$top/../shared/tools/peerbench}
reps=${1:-2}

for tool in cutecom gtkterm Xvfb openbox xdotool; do
  command -v "$tool" >/dev/null 2>&1 || { echo "bench/display.sh needs $tool (apt-get install cutecom gtkterm xvfb openbox xdotool)" >&2; exit 1; }
done
[ -x "$top/build/src/merovan" ] || { echo "Build first: ./test.sh or cmake --build build" >&2; exit 1; }

# The peer tool writes its results beside itself; work on a copy.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$peerbench"/* "$work/"
ini="$work/Merovan.ini"

"$work/run_all.sh" "$reps" -- --shell --label merovan --env QT_QPA_PLATFORM=xcb \
  --cmd "MEROVAN_INI=$ini MEROVAN_EXTRA_PORTS={port} MEROVAN_CONNECT={port} exec $top/build/src/merovan"
cp "$work"/results-*.jsonl "$here/" 2>/dev/null || true
