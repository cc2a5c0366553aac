#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package, as a user gets it: builds the .deb, installs it with
# apt-get, runs the three programs, checks the desktop file, the AppStream
# metadata and lintian's findings (errors fail), checks that a first run
# keeps its settings in ~/.config/merovan and finds the window where it was
# left, then removes the package again. Needs root (CI runs as root).
set -euo pipefail
cd "$(dirname "$0")/.."
began=$(date +%s)

if [ "$(id -u)" -ne 0 ]; then
  echo "package check: needs root to install the package; skipped"
  exit 0
fi

MEROVAN_WERROR=ON tools/package.sh build-package
deb=$(ls "$PWD"/build-package/merovan_*.deb)
tools/install-deps.sh --package-check
echo "== Package $(basename "$deb"): $(stat -c %s "$deb") bytes"

echo "== lintian"
# Errors fail the step; warnings and notes are reported.
lintian --display-info "$deb" 2>&1 | grep -v '^running with root' | tee /tmp/merovan-lintian.txt || true
if grep -q '^E:' /tmp/merovan-lintian.txt; then
  echo "lintian reports errors" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
cleanup() { apt-get remove -y -qq merovan >/dev/null 2>&1 || true; }
trap cleanup EXIT

echo "== The installed programs"
dpkg -L merovan
version=$(dpkg-query -W -f='${Version}' merovan)
for program in merovan merovan-cli merovan-devsim; do
  out=$("/usr/bin/$program" --version)
  echo "$out"
  [ "$out" = "$program $version" ] || { echo "$program --version says '$out', the package is $version" >&2; exit 1; }
done
merovan-devsim --help >/dev/null
merovan-cli --help >/dev/null
man -w merovan merovan-cli merovan-devsim >/dev/null

echo "== Desktop file and AppStream metadata"
desktop-file-validate /usr/share/applications/merovan.desktop
appstreamcli validate --no-net /usr/share/metainfo/merovan.metainfo.xml
for size in 48x48 256x256 scalable; do
  ls /usr/share/icons/hicolor/$size/apps/merovan.* >/dev/null
done

echo "== First run: settings per user, window where it was left"
home=$(mktemp -d /tmp/merovan-home.XXXXXX)
run_window() {
  env -i HOME="$home" PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen /usr/bin/merovan >/dev/null 2>&1 &
  local pid=$!
  for _ in $(seq 50); do
    [ -f "$home/.config/merovan/Merovan.ini" ] && break
    sleep 0.1
  done
  sleep 1
  kill -TERM "$pid"
  wait "$pid"
}
run_window
ini="$home/.config/merovan/Merovan.ini"
[ -f "$ini" ] || { echo "no $ini after the first run" >&2; exit 1; }
[ ! -e /usr/bin/Merovan.ini ] || { echo "settings were written beside the installed program" >&2; exit 1; }
# Where the user left the window, then a second run.
sed -i '0,/^Left=/s/^Left=.*/Left=137/; 0,/^Top=/s/^Top=.*/Top=91/' "$ini"
run_window
grep -q '^Left=137' "$ini" && grep -q '^Top=91' "$ini" || {
  echo "the window did not come back where it was left:" >&2
  grep -m2 -E '^(Left|Top)=' "$ini" >&2
  exit 1
}
rm -rf "$home"

cleanup
trap - EXIT
dpkg -s merovan >/dev/null 2>&1 && { echo "merovan is still installed" >&2; exit 1; }
echo "== Package checked in $(($(date +%s) - began)) s"
