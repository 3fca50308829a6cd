#!/usr/bin/env bash
# The README's examples, run: every indented block with a build/bin/ command runs as
# written (build/bin/ is the build's, /tmp/kaldora-dev one of the test's own), a
# simulator in the background until the block ends, "cat FILE" with the lines after it
# writes FILE, and what the other commands print is compared with the lines after them.
# Times ("1000 ms") are compared as numbers of ms, whatever the number. The Device
# simulator section must name every option that kaldora-devsim --help lists.
#   ReadmeTest.sh README BINDIR
set -uo pipefail
readme=$1 bin=$2
work=$(mktemp -d)
failures=0
servers=()
stop_servers() {
  local pid
  for pid in "${servers[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  servers=()
}
trap 'stop_servers; rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

local_paths() { sed "s|build/bin/|$bin/|g; s|/tmp/kaldora-dev|$work/kaldora-dev|g"; }
readme_paths() { sed "s|$bin/|build/bin/|g; s|$work/kaldora-dev|/tmp/kaldora-dev|g; s|[0-9][0-9]* ms\\b|N ms|g"; }

# Starts a simulator and returns once it says it is ready: the link made, or listening.
start_server() {
  local command=$1 fifo="$work/server.$RANDOM" line ready='^(tcp|pty): '
  [[ $command == *--link* ]] && ready='^link: '
  mkfifo "$fifo"
  bash -c "exec ${command% &}" >"$fifo" 2>/dev/null &
  servers+=($!)
  exec {out}<"$fifo"
  while IFS= read -r -t 10 -u "$out" line; do
    if [[ $line =~ $ready ]]; then
      cat <&"$out" >/dev/null &
      exec {out}<&-
      return 0
    fi
  done
  exec {out}<&-
  fail "'$command' did not get ready"
}

run() {
  local command=$1 expected=$2 got
  case $command in
  *kaldora-devsim*) start_server "$(local_paths <<<"$command")" ;;
  "cat "*) printf '%s' "$expected" >"$work/${command#cat }" ;;
  *)
    got=$(cd "$work" && bash -c "$(local_paths <<<"$command")" 2>&1 | readme_paths)
    expected=$(printf '%s' "$expected" | readme_paths)
    if [ "$got" != "${expected%$'\n'}" ]; then
      fail "'$command' printed:"$'\n'"$got"$'\n'"the README says:"$'\n'"${expected%$'\n'}"
    fi
    ;;
  esac
}

# The indented blocks, each as its command lines with the lines each is followed by.
blocks=0 command= expected= in_block=0 has_program=0 number=0
finish_command() {
  [ -n "$command" ] && run "$command" "$expected"
  command= expected=
}
finish_block() {
  finish_command
  stop_servers
  in_block=0
}
while IFS= read -r line || [ -n "$line" ]; do
  number=$((number + 1))
  if [[ $line == "    "* ]]; then
    text=${line#    }
    text=${text#\$ }
    if ((in_block == 0)); then
      in_block=1
      # Only the blocks that run the programs; scripts/ and dpkg examples are not run here.
      has_program=$(awk -v start="$number" 'NR >= start && !/^    / { exit } NR >= start && /build\/bin\// { found = 1 } END { print found + 0 }' "$readme")
      ((has_program)) && blocks=$((blocks + 1))
    fi
    ((has_program)) || continue
    if [[ $text == build/bin/* || $text == "cat "* ]]; then
      finish_command
      command=$(sed -E 's/  +#.*$//' <<<"$text")
    else
      expected+="$text"$'\n'
    fi
  elif ((in_block)); then
    finish_block
  fi
done <"$readme"
((in_block)) && finish_block
((blocks > 0)) || fail "no example with build/bin/ in $readme"

section=$(sed -n '/^## Device simulator/,/^## /p' "$readme")
for option in $("$bin/kaldora-devsim" --help | grep -E '^ +-' | sed -E 's/^ +//; s/  .*//' | grep -oE -- '--[a-z0-9][a-z0-9-]*'); do
  grep -qE -- "\`$option[ \`]" <<<"$section" || fail "the Device simulator section does not name $option"
done

[ "$failures" -eq 0 ] || exit 1
echo "README: ok ($blocks examples)"
