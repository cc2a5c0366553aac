#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Every option a program's --help lists (and, for merovan-cli, every
# command's own --help) must be described in its man page, so the two
# cannot drift apart.
# Usage: check_man_pages.sh MAN_DIR PROGRAM...
set -euo pipefail
man_dir=$1
shift

failures=0

# The options a help text names: -x and --long-name tokens that begin a word.
options_of() {
  grep -oE '(^|[][ (|,=])--?[A-Za-z][A-Za-z0-9-]*' | sed -E 's/^[][ (|,=]//' | sort -u
}

# The man page as plain text: \- is a dash, font changes are dropped.
page_text() {
  sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$1"
}

check() {
  local program=$1 page=$2 what=$3 help=$4
  local text
  text=$(page_text "$page")
  while IFS= read -r option; do
    [ -n "$option" ] || continue
    if ! grep -qE -- "(^|[^A-Za-z0-9-])${option}([^A-Za-z0-9-]|$)" <<<"$text"; then
      echo "$(basename "$page"): $option is missing ($what lists it)"
      failures=$((failures + 1))
    fi
  done < <(options_of <<<"$help")
}

for program in "$@"; do
  name=$(basename "$program")
  page="$man_dir/$name.1"
  if [ ! -f "$page" ]; then
    echo "no man page $page for $name"
    failures=$((failures + 1))
    continue
  fi
  help=$("$program" --help)
  check "$program" "$page" "$name --help" "$help"
  if [ "$name" = merovan-cli ]; then
    # The commands are the indented first words of the "Commands:" list.
    commands=$(sed -n '/^Commands:/,/^$/p' <<<"$help" | grep -E '^  [a-z]' | awk '{print $1}')
    [ -n "$commands" ] || { echo "merovan-cli --help lists no commands"; failures=$((failures + 1)); }
    text_all=$(page_text "$page")
    for command in $commands; do
      if ! grep -qE "^\.B $command( |$)" <<<"$text_all"; then
        echo "$(basename "$page"): command $command is missing"
        failures=$((failures + 1))
      fi
      check "$program" "$page" "$name $command --help" "$("$program" "$command" --help)"
    done
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "$failures missing from the man pages"
  exit 1
fi
echo "every option of $# programs is in its man page"
