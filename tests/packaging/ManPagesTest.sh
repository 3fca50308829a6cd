#!/usr/bin/env bash
# The generated manual pages: each renders without a warning from man, and every option
# that a program's or a command's --help lists appears in its page, a command's in that
# command's section.
#   ManPagesTest.sh MANDIR KALDORA KALDORA_CLI KALDORA_DEVSIM
set -uo pipefail
mandir=$1 kaldora=$2 cli=$3 devsim=$4
failures=0
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The long options an option list names: "  -p, --port PATH  text" gives --port.
listed_options() {
  "$@" --help >"$tmp" || return 1
  { grep -E "^ +-" "$tmp" || true; } | sed -E "s/^ +//; s/  .*//" | { grep -oE -- "--[a-z0-9][a-z0-9-]*" || true; } | sort -u
}

# A page as man shows it, in ASCII, wide enough that no option is broken across lines.
rendered() {
  LC_ALL=C MANWIDTH=200 man -l "$1" 2>/dev/null | col -bx
}

for page in kaldora kaldora-cli kaldora-devsim; do
  warnings=$(LC_ALL=C.UTF-8 man --warnings -l "$mandir/$page.1" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man warns on $page.1: $warnings"
done

# Whether each option appears as a word of the text on standard input.
check_options() {
  local what=$1 text option
  text=$(cat)
  shift
  for option in "$@"; do
    grep -qE -- "(^|[^a-z0-9-])$option([^a-z0-9-]|\$)" <<<"$text" || fail "$what: $option is not in the page"
  done
}

check_options "kaldora(1)" $(listed_options "$kaldora") < <(rendered "$mandir/kaldora.1")
check_options "kaldora-devsim(1)" $(listed_options "$devsim") < <(rendered "$mandir/kaldora-devsim.1")

# kaldora-cli: its own options, then each command's in its section ("   kaldora-cli frame").
cli_page=$(rendered "$mandir/kaldora-cli.1")
check_options "kaldora-cli(1)" $(listed_options "$cli") <<<"$cli_page"
section() {
  awk -v title="   kaldora-cli $1" '$0 == title { on = 1; next } on && /^   [^ ]/ { on = 0 } on && /^[^ ]/ { on = 0 } on' <<<"$cli_page"
}
# The commands of the command list, and every command the page has a section for.
commands=$( (
  "$cli" --help | sed -n '/^Usage/,/^ *-/p' | grep -oE '^  [a-z][a-z-]+  ' | tr -d ' ' | grep -vx help
  grep -oE '^   kaldora-cli [a-z-]+$' <<<"$cli_page" | sed 's/.* //'
) | sort -u)
[ -n "$commands" ] || fail "no command found in kaldora-cli --help"
for command in $commands; do
  text=$(section "$command")
  if [ -z "$text" ]; then
    fail "kaldora-cli(1) has no section for $command"
    continue
  fi
  options=$(listed_options "$cli" "$command") || fail "kaldora-cli $command --help failed"
  check_options "kaldora-cli(1), $command" $options <<<"$text"
done

[ "$failures" -eq 0 ] || exit 1
echo "manual pages: ok ($(wc -w <<<"$commands") commands)"
