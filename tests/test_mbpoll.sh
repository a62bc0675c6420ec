#!/bin/bash
# A third-party Modbus master (mbpoll, built on libmodbus) reads the status block,
# the DAC limit and the configuration block from vortanix-sim and gets the
# controller's known values; it reads each controller of a line with several;
# the simulator ends cleanly on SIGTERM.
#
# Usage: bash tests/test_mbpoll.sh <build-dir>

set -u

build="${1:?usage: test_mbpoll.sh <build-dir>}"
sim="$build/vortanix-sim"
# shellcheck source=support/emulator.sh
source "$(dirname "$0")/support/emulator.sh"
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

if ! command -v mbpoll >/dev/null 2>&1; then
    echo "FAIL: mbpoll is not installed; install the Debian package 'mbpoll' (apt-get install mbpoll)"
    exit 1
fi
if [ ! -x "$sim" ]; then
    echo "FAIL: $sim has not been built"
    exit 1
fi

work="$(mktemp -d)"
pid=""
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Starts the simulator with the given options; sets $pid and $port.
start_sim() {
    : > "$work/sim.out"
    "${emulator[@]}" "$sim" "$@" > "$work/sim.out" 2> "$work/sim.err" &
    pid=$!
    port=""
    for _ in $(seq 600); do
        if [ "$(wc -l < "$work/sim.out")" -ge 1 ]; then
            port="$(head -n 1 "$work/sim.out")"
            return 0
        fi
        if ! kill -0 "$pid" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    echo "FAIL: vortanix-sim $* printed no port path"
    cat "$work/sim.err"
    exit 1
}

# Waits up to 60 s for a line of the simulator's trace that matches $1: the
# trace line may follow the reply that mbpoll has already read.
wait_for_trace() {
    for _ in $(seq 600); do
        grep -Eq "$1" "$work/sim.out" && return 0
        sleep 0.1
    done
    return 1
}

# Sends SIGTERM and checks that the simulator ends by itself with status 0.
stop_sim() {
    kill -TERM "$pid"
    for _ in $(seq 600); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        fail "vortanix-sim did not end within 60 s of SIGTERM"
        kill -KILL "$pid"
    fi
    wait "$pid"
    local status=$?
    [ "$status" -eq 0 ] || fail "vortanix-sim exited with status $status after SIGTERM (expected 0)"
    pid=""
}

# mbpoll_read <address> <first register> <count>: prints "register value" lines.
mbpoll_read() {
    mbpoll -m rtu -a "$1" -b 115200 -d 8 -s 1 -P none -t 4 -0 -r "$2" -c "$3" -o 2 -1 "$port" \
        > "$work/mbpoll.out" 2>&1
    local status=$?
    sed -n 's/^\[\([0-9]*\)\]:[[:space:]]*\(-\{0,1\}[0-9]*\)[[:space:]]*$/\1 \2/p' "$work/mbpoll.out"
    return $status
}

# expect_registers <address> <first> <value>...: reads the registers and compares each value.
expect_registers() {
    local address=$1 first=$2
    shift 2
    local count=$#
    local got
    if ! got="$(mbpoll_read "$address" "$first" "$count")"; then
        fail "mbpoll could not read $count registers from $first at address $address:"
        cat "$work/mbpoll.out"
        return
    fi
    local reg=$first
    for want in "$@"; do
        local value
        value="$(awk -v r="$reg" '$1 == r { print $2 }' <<< "$got")"
        if [ "$value" != "$want" ]; then
            fail "register $reg read as '${value}', expected $want"
        fi
        reg=$((reg + 1))
    done
    echo "ok: $count registers from $first at address $address: $*"
}

# The controller with its default values.
start_sim --trace
case "$port" in
    /dev/pts/*) ;;
    *) fail "the first line is not a terminal path: '$port'" ;;
esac
# Status block 0x0001..0x000C: enable mask 0x0FFF, switch, ADC, power, address 1,
# status 6, 25.3 degrees, status 8, 24000 mV, running seconds 0, firmware 0x010A.
expect_registers 1 1 4095 0 0 0 1 0 253 0 24000 0 0 266
# The maximum-power DAC at 0x1001.
expect_registers 1 4097 3980
# The configuration block at 0x2001: the factory values.
expect_registers 1 8193 0 4095 3980 549 20736 300 4095
# The trace shows the request mbpoll sent, byte for byte.
wait_for_trace '^[0-9]+\.[0-9]{6} rx 01 03 00 01 00 0C 14 0F$' \
    || fail "the trace lacks the status request: $(cat "$work/sim.out")"
wait_for_trace '^[0-9]+\.[0-9]{6} tx 01 03 18 0F FF ' \
    || fail "the trace lacks the status reply"
stop_sim

# Another address, behind a link.
link="$work/ttyVORTANIX"
start_sim --address 17 --link "$link"
[ "$port" = "$link" ] || fail "with --link the first line is '$port', expected $link"
[ -L "$link" ] || fail "$link is not a symbolic link"
expect_registers 17 5 17
if mbpoll_read 1 1 1 > /dev/null; then
    fail "a controller at address 17 answered address 1"
fi
stop_sim
if [ -e "$link" ] || [ -L "$link" ]; then
    fail "the link $link is still there after the simulator ended"
fi

# Three controllers on one line: each address answers with its own address in
# register 5, an address nobody has stays silent, and the trace names the
# controller that sent each reply.
start_sim --address 1,7,200 --trace
for address in 1 7 200; do
    expect_registers "$address" 1 4095 0 0 0 "$address"
done
if mbpoll_read 9 1 1 > /dev/null; then
    fail "address 9 answered on a line of 1, 7 and 200"
fi
for address in 1 7 200; do
    wait_for_trace "^[0-9]+\.[0-9]{6} tx .*  \(from $address\)\$" \
        || fail "the trace names no reply from $address: $(cat "$work/sim.out")"
done
stop_sim

# A fault for one controller: 7 is silent, 1 and 200 answer.
start_sim --address 1,7,200 --fault no-reply@7
expect_registers 1 5 1
expect_registers 200 5 200
if mbpoll_read 7 5 1 > /dev/null; then
    fail "with --fault no-reply@7 the controller at 7 answered"
fi
stop_sim

# A fault mode: every read gets an exception reply, which mbpoll reports as an error.
start_sim --fault exception:2
if mbpoll_read 1 1 12 > /dev/null; then
    fail "with --fault exception the read succeeded"
fi
grep -qi 'illegal data address' "$work/mbpoll.out" \
    || fail "mbpoll did not report the exception: $(cat "$work/mbpoll.out")"
stop_sim

# Options.
"${emulator[@]}" "$sim" --help > "$work/help.out" 2>&1 || fail "--help did not exit 0"
grep -q -- '--fault' "$work/help.out" || fail "--help does not describe the options"
"${emulator[@]}" "$sim" --address 0 > /dev/null 2>&1
[ $? -eq 2 ] || fail "--address 0 was not refused with status 2"
"${emulator[@]}" "$sim" --fault nonsense > /dev/null 2>&1
[ $? -eq 2 ] || fail "an unknown fault was not refused with status 2"
"${emulator[@]}" "$sim" --address 250-255 > /dev/null 2>&1
[ $? -eq 2 ] || fail "a range past the last address was not refused with status 2"
"${emulator[@]}" "$sim" --address 1,7 --fault bad-crc@9 > "$work/err.out" 2>&1
[ $? -eq 2 ] || fail "a fault for an address not served was not refused with status 2"
grep -q 'no controller at address 9' "$work/err.out" || fail "the refusal does not say why: $(cat "$work/err.out")"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all mbpoll checks passed"
