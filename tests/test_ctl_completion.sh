#!/usr/bin/env bash
# The bash completion of vortanix-ctl: it completes commands, options and
# fixed words, and it knows exactly the commands and options that the
# program's help lists (so that the two cannot drift apart).
# Usage: test_ctl_completion.sh <build folder>
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:?usage: test_ctl_completion.sh <build folder>}" && pwd)"
ctl="$build/vortanix-ctl"
completion="$here/../packaging/completion/vortanix-ctl"
# shellcheck source=support/emulator.sh
source "$here/support/emulator.sh"
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

[ -x "$ctl" ] || { echo "FAIL: $ctl has not been built"; exit 1; }
# shellcheck source=/dev/null
source "$completion" || { echo "FAIL: $completion does not load"; exit 1; }
complete -p vortanix-ctl | grep -q -- '-F _vortanix_ctl' || fail "vortanix-ctl is not completed by _vortanix_ctl"

# Completes the command line given as words; the last word is the one being typed.
completions() {
    COMP_WORDS=(vortanix-ctl "$@")
    COMP_CWORD=$#
    COMPREPLY=()
    _vortanix_ctl
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

expect() {
    local want="$1"
    shift
    local got
    got="$(completions "$@")"
    [ "$got" = "$want" ] || fail "vortanix-ctl $* completes to '$got', not '$want'"
}

expect "status" st
expect "scan" sc
expect "get" config g
expect "factory" config f
expect "off on" adc ""
expect "all" switch a
expect "--interval" status --int
expect "--baud --bauds" -a 3 scan --bau
expect "--ini" config get --i
expect "--name" config get --n
expect "" status --n
expect "115200 19200" --baud 1
expect "kernel" --rs485 k
expect "none" status --rs485 n
expect "" --rts-delay ""
expect "--rs485 --rts-delay" --r
expect "--millivolts" --rs485 rts power --mil
expect "" power --millivolts ""
expect "--millivolts" --port /dev/ttyUSB0 power --mil
# Through the bridge's Modbus TCP gateway: its address, then the unit id.
expect "--tcp" --tc
expect "127.0.0.1:1502" --tcp 127
expect "" --unit ""
expect "--unit" --tcp 127.0.0.1:1502 status --un
expect "--interval" --tcp 127.0.0.1:1502 --unit 7 status --int
expect "get" --tcp 127.0.0.1:1502 config g

# The commands of the help's "Commands:" section, first words.
help="$("${emulator[@]}" "$ctl" --help)"
help_commands="$(awk '/^Commands:/ { on = 1; next } /^$/ { on = 0 } on && /^  [a-z]/ { print $1 }' <<<"$help" | sort -u | tr '\n' ' ')"
completed="$(completions "" | tr ' ' '\n' | sort -u | tr '\n' ' ')"
[ "$help_commands" = "$completed" ] || fail "the help lists the commands '$help_commands', the completion '$completed'"

# Every option the program's help and the commands' helps name is completed somewhere.
all_options=""
for words in "" "scan" "status" "power" "config get" "config set"; do
    # shellcheck disable=SC2086
    all_options+=" $(completions $words -- | tr ' ' '\n')"
done
for command in "" scan status power "config get" "config set"; do
    # shellcheck disable=SC2086
    for option in $("${emulator[@]}" "$ctl" $command --help | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u); do
        grep -qw -- "$option" <<<"$(tr ' ' '\n' <<<"$all_options")" \
            || fail "'vortanix-ctl $command --help' names $option, which the completion does not offer"
    done
done

# The rates --baud completes to are the rates the help names, no more, no fewer.
help_bauds="$(grep -E -- '^  --baud B' <<<"$help" | grep -oE '\b[0-9]{4,6}\b' | sort -u | tr '\n' ' ')"
completed_bauds="$(completions --baud "" | tr ' ' '\n' | sort -u | tr '\n' ' ')"
[ -n "$help_bauds" ] || fail "the help's --baud line names no rate"
[ "$help_bauds" = "$completed_bauds" ] || fail "the help names the rates '$help_bauds', the completion '$completed_bauds'"

if [ "$failures" -gt 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "PASS: the completion offers the commands, options and words of vortanix-ctl's help"
