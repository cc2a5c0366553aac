#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Takes the README's screenshots (docs/*.png) under Xvfb against
# merovan-devsim, with a fake sysfs tree so that the port list shows the
# identities of common adapters.
#
# Usage: tools/screenshots/take.sh   (needs Xvfb, ImageMagick, optionally
# openbox and optipng;
# the build in build/, or in MEROVAN_BUILD; builds merovan-screenshots)
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${MEROVAN_BUILD:-$top/build}
cmake --build "$build" --target merovan-screenshots merovan-devsim >/dev/null
work=$(mktemp -d /tmp/mvXXXX)   # short: its paths are shown
xpid=""; wmpid=""
cleanup() {
  for p in $wmpid $xpid; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The layout Linux gives an FTDI and a CP2102 cable, a CH340 without a serial
# string, a CDC-ACM board and an on-board 8250.
sys=$work/sys; dev=$work/dev
mkdir -p "$dev/serial/by-id"
attr() { mkdir -p "$(dirname "$sys/$1")"; echo "$2" > "$sys/$1"; }
driver() { mkdir -p "$sys/bus/$2/drivers/$3" "$sys/$1"; ln -s "$sys/bus/$2/drivers/$3" "$sys/$1/driver"; }
tty() { mkdir -p "$sys/class/tty/$1"; ln -s "$sys/$2" "$sys/class/tty/$1/device"; : > "$dev/$1"; }
usb() { # name, device, interface, vid, pid, maker, product, serial, interface number, driver
  attr "$2/idVendor" "$4"; attr "$2/idProduct" "$5"
  [ -n "$6" ] && attr "$2/manufacturer" "$6"
  attr "$2/product" "$7"
  [ -n "$8" ] && attr "$2/serial" "$8"
  attr "$2/$3/bInterfaceNumber" "$9"
  driver "$2/$3/$1" usb-serial "${10}"
  tty "$1" "$2/$3/$1"
  if [ -n "$8" ]; then
    ln -s "../../$1" "$dev/serial/by-id/$(echo "usb-$6_$7_$8-if$9-port0" | tr ' ' _)"
  fi
}
pci=devices/pci0000:00/0000:00:14.0/usb1
usb ttyUSB0 "$pci/1-1" 1-1:1.0 0403 6001 FTDI "FT232R USB UART" A10KZP3Q 00 ftdi_sio
usb ttyUSB1 "$pci/1-2" 1-2:1.0 10c4 ea60 "Silicon Labs" "CP2102 USB to UART Bridge Controller" 0001 00 cp210x
usb ttyUSB2 "$pci/1-3" 1-3:1.0 1a86 7523 "" "USB Serial" "" 00 ch341
attr "$pci/1-4/idVendor" 2e8a; attr "$pci/1-4/idProduct" 000a
attr "$pci/1-4/manufacturer" "Raspberry Pi"; attr "$pci/1-4/product" Pico; attr "$pci/1-4/serial" E66138935F4B2C28
attr "$pci/1-4/1-4:1.0/bInterfaceNumber" 00
driver "$pci/1-4/1-4:1.0" usb cdc_acm
tty ttyACM0 "$pci/1-4/1-4:1.0"
ln -s ../../ttyACM0 "$dev/serial/by-id/usb-Raspberry_Pi_Pico_E66138935F4B2C28-if00"
driver devices/platform/serial8250 platform serial8250
tty ttyS0 devices/platform/serial8250
attr class/tty/ttyS0/type 4

disp=${SHOT_DISPLAY:-:97}
Xvfb "$disp" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 & xpid=$!
sleep 2
if command -v openbox >/dev/null; then
  DISPLAY=$disp openbox >/dev/null 2>&1 & wmpid=$!
  sleep 1
fi
mkdir -p "$work/shots"
printf '[MainForm]\r\nFont=DejaVu Sans Mono\r\nFontSize=10\r\n' > "$work/Merovan.ini"
DISPLAY=$disp QT_QPA_PLATFORM=xcb MEROVAN_SYSFS_ROOT=$sys MEROVAN_DEV_ROOT=$dev \
  MEROVAN_EXTRA_PORTS=$dev/ttyDEVSIM \
  "$build/tools/screenshots/merovan-screenshots" "$work/shots" "$build/tools/devsim/merovan-devsim" \
  "$dev/ttyDEVSIM" "$work/Merovan.ini" "$top/tests/data/vt"
for f in screenshot port-list timestamps hex-view reconnect-waiting plot emulation-log emulation-vim lua-script; do
  # Few colours are enough for a terminal's text; they keep the files small.
  convert "$work/shots/$f.png" -strip -dither None -colors 48 "$top/docs/$f.png"
  command -v optipng >/dev/null && optipng -quiet -o2 "$top/docs/$f.png"
  echo "docs/$f.png: $(wc -c < "$top/docs/$f.png") bytes"
done
