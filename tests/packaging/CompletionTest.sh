#!/usr/bin/env bash
# The generated bash completions, driven through bash itself: COMP_WORDS and COMP_CWORD
# as bash sets them, the function's COMPREPLY compared with what it should offer. They
# use bash's own compgen and compopt only, so bash-completion need not be installed.
#   CompletionTest.sh COMPLETIONS_DIR
set -uo pipefail
dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# A program that lists two ports as kaldora-cli ports does, so that --port has something
# to offer on a machine without serial ports.
cat >"$work/kaldora-cli" <<'PROGRAM'
#!/bin/sh
[ "$1" = ports ] && printf 'COM1  /dev/ttyUSB0  driver ftdi_sio  USB 0403:6001\nCOM2  /dev/ttyS0  driver serial8250\n'
PROGRAM
chmod +x "$work/kaldora-cli"
touch "$work/lot7.csv" "$work/lot8.csv"

# complete FILE FUNCTION CWORD WORD...: the replies, sorted, one a line.
complete_words() {
  local file=$1 function=$2 cword=$3
  shift 3
  (cd "$work" && bash -c 'source "$1"; function=$2; COMP_CWORD=$3; shift 3; COMP_WORDS=("$@")
                          "$function"; printf "%s\n" "${COMPREPLY[@]}"' _ "$dir/$file" "$function" "$cword" "$@") |
    sed '/^$/d' | sort
}

# expect NAME FILE FUNCTION CWORD "WORD..." "EXPECTED..."
expect() {
  local name=$1 file=$2 function=$3 cword=$4 words=$5 expected=$6 got
  read -ra line <<<"$words"
  [ "${line[-1]}" = "''" ] && line[-1]=
  got=$(complete_words "$file" "$function" "$cword" "${line[@]}" | tr '\n' ' ' | sed 's/ $//')
  expected=$(tr ' ' '\n' <<<"$expected" | sed '/^$/d' | sort | tr '\n' ' ' | sed 's/ $//')
  if [ "$got" != "$expected" ]; then
    echo "FAIL: $name: offered '$got', expected '$expected'" >&2
    failures=$((failures + 1))
  fi
}

cli="kaldora-cli _kaldora_cli"
devsim="kaldora-devsim _kaldora_devsim"
#      name                              file, function  cword  words                                    offered
expect "commands by prefix"              $cli 1  "kaldora-cli se"                          "set-id set-eln send-hex send-text"
expect "help names the commands"         $cli 2  "kaldora-cli help ba"                     "batch"
expect "a command's options"             $cli 2  "kaldora-cli decode --"                   "--encrypt --json --help --version"
expect "set-id reads the frame options"  $cli 2  "kaldora-cli set-id --mo"                 "--model"
expect "models after --model"            $cli 3  "kaldora-cli set-id --model ''"           "KESTREL-A MARLIN-A OSPREY-B"
expect "models after --model="           $cli 4  "kaldora-cli frame --model = M"           "MARLIN-A"
expect "station's models"                $cli 3  "kaldora-cli station --model ''"        "KESTREL-A MARLIN-A"
expect "baud rates"                      $cli 3  "kaldora-cli send-hex --baud 1"           "115200 19200"
expect "ports after --port"              $cli 3  "./kaldora-cli set-id --port ''"          "COM1 COM2 /dev/ttyUSB0 /dev/ttyS0"
expect "ports by prefix"                 $cli 3  "./kaldora-cli batch --port /dev/ttyU"    "/dev/ttyUSB0"
expect "the CSV file after batch"        $cli 2  "kaldora-cli batch lot"                   "lot7.csv lot8.csv"
expect "an option's value is no file"    $cli 4  "kaldora-cli batch --retries 1 lot"       "lot7.csv lot8.csv"
expect "nothing after the file"          $cli 3  "kaldora-cli batch lot7.csv lo"           ""
expect "journal export then the file"    $cli 2  "kaldora-cli journal e"                   "export"
expect "the journal file"                $cli 3  "kaldora-cli journal export lot8"         "lot8.csv"
expect "no value offered for --id"       $cli 3  "kaldora-cli frame --id ''"               ""
expect "an unknown command offers none"  $cli 2  "kaldora-cli bogus --"                    ""
expect "simulator options"               $devsim 1 "kaldora-devsim --p"                    "--pty --port-file --present"
expect "simulator files after --link"    $devsim 2 "kaldora-devsim --link lot7"            "lot7.csv"
expect "simulator flags take no value"   $devsim 2 "kaldora-devsim --pty --si"             "--silent"

[ "$failures" -eq 0 ] || exit 1
echo "completions: ok"
