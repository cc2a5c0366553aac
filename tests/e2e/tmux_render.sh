#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The reference emulator for merovan-cli render: feeds a capture into an
# 80x24 tmux pane whose terminal passes bytes unchanged, and prints what the
# pane shows, its history first, without trailing blanks or empty rows.
# Usage: tmux_render.sh FILE
set -euo pipefail
file=$(realpath "$1")
sock="merovan-vt-$$-$RANDOM"
t() { tmux -L "$sock" -f /dev/null "$@"; }
trap 't kill-server 2>/dev/null || true' EXIT
# The pane waits until told, so it is sized before the first byte.
t new-session -d -x 80 -y 24 -s ref \
  "stty raw -echo -opost; tmux -L $sock wait-for go; cat '$file'; tmux -L $sock wait-for -S fed; sleep 600"
t set-option -t ref status off >/dev/null
t set-option -t ref history-limit 100000 >/dev/null
t resize-window -t ref -x 80 -y 24 2>/dev/null || true
sleep 0.2
t wait-for -S go
timeout 20 tmux -L "$sock" -f /dev/null wait-for fed
# What tmux does with the last bytes can lag the end of cat a little.
sleep 0.3
t capture-pane -p -t ref -S - -E - | sed -e 's/[[:space:]]*$//' | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'
