#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows build, tested under wine: cross-builds merovan-cli.exe and the
# core's unit tests with mingw-w64, runs the unit tests under wine, then runs
# merovan-cli.exe under wine against a Linux merovan-devsim whose
# pseudo-terminal is mapped to COM5, comparing what the device recorded byte
# for byte.
#
# Without a usable wine it says so and skips, except under CI=true, where
# the Windows build must really be tested.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
began=$(date +%s)

MEROVAN_WERROR=ON tools/build-windows.sh build-windows
win="$root/build-windows"

echo "== merovan-devsim for the Windows tests (build-windows-devsim/)"
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-windows-devsim -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMEROVAN_BUILD_GUI=OFF \
  -DMEROVAN_BUILD_TESTS=OFF -DMEROVAN_WERROR=ON "${launcher[@]}" >/dev/null
cmake --build build-windows-devsim --target merovan-devsim -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
devsim="$root/build-windows-devsim/tools/devsim/merovan-devsim"

work=$(mktemp -d /tmp/merovan-windows.XXXXXX)
export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# No display is needed or wanted: wine must not try to open windows. It
# does want a home folder for the prefix's user folders.
unset DISPLAY WAYLAND_DISPLAY
export HOME="${HOME:-$work}"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

skip_or_fail() {
  if [ "${CI:-}" = true ]; then
    echo "windows: wine cannot start ($1); CI must run the Windows tests" >&2
    exit 1
  fi
  echo "== SKIPPED: the Windows tests need a working wine ($1)"
  exit 0
}

echo "== A fresh wine prefix ($WINEPREFIX)"
command -v wine >/dev/null 2>&1 || skip_or_fail "wine is not installed: tools/install-deps.sh --windows"
prefix_began=$(date +%s)
# The wine server keeps running between the commands below (and ends by
# itself ten seconds after the last). Its output goes to a log: it reports
# there when the devsim's terminal hangs up.
wineserver -p10 >"$work/wineserver.log" 2>&1 </dev/null || true
if ! timeout 300 wineboot -i >"$work/wineboot.log" 2>&1 </dev/null; then
  tail -5 "$work/wineboot.log" >&2 || true
  skip_or_fail "wineboot -i failed"
fi
echo "prefix ready in $(( $(date +%s) - prefix_began )) s"

passed=0
failed=0
# Each result says how long its step took, from the previous result on.
step_began=$(date +%s%N)
step_took=""
end_step() {
  local now
  now=$(date +%s%N)
  step_took=$(printf '%d.%01d s' $(( (now - step_began) / 1000000000 )) $(( (now - step_began) / 100000000 % 10 )))
  step_began=$now
}
pass() { end_step; passed=$((passed + 1)); echo "PASS $1 ($step_took)"; }
fail() { end_step; failed=$((failed + 1)); echo "FAIL $1 ($step_took)" >&2; }

echo "== The core's unit tests under wine"
set +e
timeout 600 wine "$win/tests/unit/merovan_unit_tests.exe" --gtest_brief=1 >"$work/unit.log" 2>&1 </dev/null
unit_rc=$?
set -e
grep -E '^\[  (FAILED|PASSED|SKIPPED) ' "$work/unit.log" | sed 's/^/  /' || true
unit_count=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from.*ran.*/\1/p' "$work/unit.log")
if [ "$unit_rc" -eq 0 ] && [ -n "$unit_count" ] && [ "$unit_count" -gt 0 ]; then
  pass "merovan_unit_tests.exe: $unit_count tests"
else
  cat "$work/unit.log" >&2
  fail "merovan_unit_tests.exe (exit $unit_rc)"
fi

echo "== merovan-cli.exe under wine against merovan-devsim on COM5"
cd "$work"
cli() { timeout 120 wine "$win/tools/cli/merovan-cli.exe" "$@" </dev/null; }

# Starts the simulated device with the given options and maps COM5 to its
# terminal.
start_devsim() {
  : >"$work/devsim.out"
  "$devsim" "$@" >"$work/devsim.out" 2>"$work/devsim.err" &
  sim_pid=$!
  local pty=""
  for _ in $(seq 100); do
    pty=$(head -n1 "$work/devsim.out" 2>/dev/null || true)
    [ -n "$pty" ] && break
    sleep 0.05
  done
  [ -n "$pty" ] || { echo "devsim did not start: $(cat "$work/devsim.err")" >&2; return 1; }
  ln -sfn "$pty" "$WINEPREFIX/dosdevices/com5"
}
stop_devsim() {
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
  rm -f "$WINEPREFIX/dosdevices/com5"
}
# Waits up to ten seconds for the record to reach the size of the expected file.
wait_for_record() {
  for _ in $(seq 200); do
    [ "$(stat -c %s record.bin 2>/dev/null || echo 0)" -ge "$(stat -c %s "$1")" ] && return 0
    sleep 0.05
  done
  return 1
}
# name, expected file, exit code, then the command line.
expect_record() {
  local name=$1 expected=$2 code=$3
  shift 3
  local rc=0
  cli "$@" >out.txt 2>err.txt || rc=$?
  wait_for_record "$expected" || true
  if [ "$rc" -eq "$code" ] && cmp -s "$expected" record.bin; then
    pass "$name"
  else
    fail "$name: exit $rc (wanted $code), $(stat -c %s record.bin 2>/dev/null || echo no) bytes recorded of $(stat -c %s "$expected"): $(cat err.txt)"
    cmp "$expected" record.bin 2>&1 | head -3 >&2 || true
  fi
}

# send: the escapes expanded, the echo printed back.
rm -f record.bin
start_devsim --record record.bin
printf 'AT\r\033A' >expected.bin
expect_record "send" expected.bin 0 send -p COM5 --listen 300 'AT\r\e\0x41'
grep -q 'devsim ready' out.txt && pass "send: the device's greeting and echo come back" \
  || fail "send: no greeting in $(cat out.txt)"
stop_devsim

# text-file, each line acknowledged by byte 6.
rm -f record.bin
printf 'go\r' >expected.bin
: >upload.bas
for i in $(seq 1 400); do
  line="$((i * 10)) PRINT \"line $i\""
  if [ $((i % 2)) -eq 1 ]; then printf '%s\r\n' "$line" >>upload.bas; else printf '%s\n' "$line" >>upload.bas; fi
  printf '%s\r' "$line" >>expected.bin
done
printf '\r' >>expected.bin
start_devsim --record record.bin --ack 6 --no-greeting
expect_record "text-file --wait 6 against --ack 6" expected.bin 0 \
  text-file -p COM5 -b 115200 --wait 6 --first 'go\r' upload.bas
stop_devsim

# boot, through both boot loader versions, of the image hex2bin.exe makes.
bytes_file() { perl -e 'print map { chr(($_ * 7 + int($_ / 251) + $ARGV[1]) & 255) } 0 .. $ARGV[0] - 1' "$1" "$2"; }
bytes_file $((96 * 1024)) 99 >app.bin
for pair in 1:0x1D008000:1024 2:0x1D000000:2000; do
  IFS=: read -r version start block <<<"$pair"
  srec_cat app.bin -binary -offset "$start" -o "app$version.hex" -intel -address-length=4 -output_block_size=32
  if ! cli hex2bin --start "$start" --flash-kb 512 "app$version.hex" "image$version.bin" 2>err.txt; then
    fail "hex2bin.exe $version: $(cat err.txt)"
    continue
  fi
  size=$(stat -c %s "image$version.bin")
  # The device takes whole blocks; past the image they carry erased flash.
  if [ "$version" = 1 ]; then whole=$(( (size + block - 1) / block * block )); else whole=$(( (size / block + 1) * block )); fi
  cp "image$version.bin" expected.bin
  head -c $((whole - size)) /dev/zero | tr '\0' '\377' >>expected.bin
  rm -f record.bin
  start_devsim --boot --boot-version "$version" --record record.bin
  expect_record "boot, loader version $version" expected.bin 0 boot -p COM5 --flash-kb 512 "app$version.hex"
  stop_devsim
done

# binary, with the device holding the host back now and then.
rm -f record.bin
bytes_file 100000 0 >data.bin
{ printf '\002'; cat data.bin; printf '\r'; } >expected.bin
start_devsim --record record.bin --no-echo --no-greeting --cts-hold 30 --cts-hold-after 20000
expect_record "binary" expected.bin 0 binary -p COM5 --first '\0x02' data.bin
stop_devsim

# A port that is not there names itself and the system's reason, and exits 3.
rc=0
cli send -p COM7 'x' >out.txt 2>err.txt || rc=$?
if [ "$rc" -eq 3 ] && grep -Eq '^Cannot open COM7: .+' err.txt; then
  pass "a missing COM7: $(head -n1 err.txt)"
else
  fail "a missing COM7: exit $rc, $(cat err.txt)"
fi

# A device that goes away mid-transfer ends it with a failure, not a hang.
rm -f record.bin
start_devsim --record record.bin --no-echo --no-greeting --drop-after-bytes 5000
rc=0
cli binary -p COM5 data.bin >out.txt 2>err.txt || rc=$?
if [ "$rc" -ne 0 ] && [ "$rc" -ne 124 ]; then
  pass "a device that goes away fails the transfer (exit $rc: $(tail -n1 err.txt))"
else
  fail "a device that goes away: exit $rc, $(cat err.txt)"
fi
stop_devsim

# A device that goes away while monitored ends the monitor as a lost port
# (exit 4), long before its time is up.
start_devsim --no-echo
monitor_began=$(date +%s)
( sleep 1; kill "$sim_pid" 2>/dev/null ) &
rc=0
cli monitor -p COM5 --seconds 60 >out.txt 2>err.txt || rc=$?
took=$(( $(date +%s) - monitor_began ))
if [ "$rc" -eq 4 ] && [ "$took" -lt 30 ] && grep -q 'disconnected' err.txt; then
  pass "monitor ends when the device goes away (after $took s: $(tail -n1 err.txt))"
else
  fail "monitor on a device that goes away: exit $rc after $took s, $(cat err.txt)"
fi
stop_devsim

echo "windows.sh took $(( $(date +%s) - began )) s"
echo "windows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
