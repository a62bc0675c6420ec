#!/usr/bin/env bash
# vortanix-demo, started headless, serves a live virtual controller behind a
# link in its private folder while its window is up: a third-party Modbus
# master (mbpoll) reads the device's status block from it and sees the
# running time count. On SIGTERM the demo closes its window, stops the
# controller and removes the folder, and exits with status 0.
# Usage: test_demo.sh <build folder>
set -euo pipefail

build="${1:?usage: test_demo.sh <build folder>}"
demo="$build/vortanix-demo"
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=support/emulator.sh
source "$here/support/emulator.sh"

fail() {
    echo "FAIL: $*" >&2
    if [ -s "${work:-/nonexistent}/out" ]; then
        echo "--- demo output ---" >&2
        cat "$work/out" >&2
    fi
    exit 1
}

[ -x "$demo" ] || fail "$demo is missing"
command -v mbpoll >/dev/null 2>&1 || fail "mbpoll is missing (scripts/setup.sh test installs it)"

work="$(mktemp -d)"
pid=""
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -m 700 "$work/tmp"

TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/tmp" QT_QPA_PLATFORM=offscreen \
    LSAN_OPTIONS="suppressions=$here/lsan.supp" ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0" \
    "${emulator[@]}" "$demo" >"$work/out" 2>&1 &
pid=$!

# The controller's link appears in the demo's private folder.
link=""
for _ in $(seq 1 600); do
    link="$(compgen -G "$work/tmp/vortanix-demo-*/ttyVIRT0" | head -n 1 || true)"
    if [ -n "$link" ] && [ -e "$link" ]; then
        break
    fi
    kill -0 "$pid" 2>/dev/null || fail "the demo ended before its controller came up"
    link=""
    sleep 0.1
done
[ -n "$link" ] || fail "no controller link in the demo's private folder after 60 s"
[ -L "$link" ] || fail "$link is not a symbolic link"
terminal="$(readlink "$link")"
[[ "$terminal" == /dev/pts/* ]] || fail "$link points at $terminal, not a pseudo-terminal"
[ -c "$terminal" ] || fail "$terminal is not a character device"
# The window's port list names the terminal; the demo says so on start-up.
for _ in $(seq 1 600); do
    grep -qF "$terminal" "$work/out" && break
    sleep 0.1
done
grep -qF "virtual controller, address 1, on $terminal" "$work/out" \
    || fail "the demo did not report its controller on $terminal"

# Reads the twelve status registers from 0x0001 into reg[1..12].
declare -a reg
read_status() {
    local output
    output="$(mbpoll -m rtu -b 115200 -P none -d 8 -s 1 -a 1 -t 4 -0 -r 1 -c 12 -1 -o 2 "$link" 2>&1)" \
        || fail "mbpoll could not read the status block: $output"
    reg=()
    local index value
    while read -r index value; do
        reg[index]="$value"
    done < <(sed -n 's/^\[\([0-9]*\)\]:[[:space:]]*\([0-9]*\).*/\1 \2/p' <<<"$output")
    [ "${#reg[@]}" -eq 12 ] || fail "mbpoll returned ${#reg[@]} registers: $output"
}

read_status
[ "${reg[1]}" -eq 4095 ] || fail "enable mask ${reg[1]}, expected 4095 (all twelve modules)"
[ "${reg[5]}" -eq 1 ] || fail "RS-485 address ${reg[5]}, expected 1"
if [ "${reg[7]}" -lt 240 ] || [ "${reg[7]}" -gt 260 ]; then
    fail "temperature ${reg[7]} tenths, expected 24.0..26.0"
fi
if [ "${reg[9]}" -lt 23900 ] || [ "${reg[9]}" -gt 24100 ]; then
    fail "supply ${reg[9]} mV, expected about 24 V"
fi
[ "${reg[12]}" -eq 266 ] || fail "firmware word ${reg[12]}, expected 266 (V1.10)"
seconds1=$((reg[10] * 65536 + reg[11]))
[ $((seconds1 / 3600)) -ge 1 ] || fail "running time $seconds1 s: the demo device shows no service hours"

# The device is live: its running time counts (a step a second) while the demo runs.
seconds2="$seconds1"
for _ in $(seq 1 120); do
    sleep 0.5
    kill -0 "$pid" 2>/dev/null || fail "the demo ended while being read"
    read_status
    seconds2=$((reg[10] * 65536 + reg[11]))
    [ "$seconds2" -gt "$seconds1" ] && break
done
[ "$seconds2" -gt "$seconds1" ] || fail "running time did not count: $seconds1 s, 60 s later $seconds2 s"

# SIGTERM closes the window and stops the controller.
kill -TERM "$pid"
status=""
for _ in $(seq 1 600); do
    if ! kill -0 "$pid" 2>/dev/null; then
        status=0
        wait "$pid" || status=$?
        break
    fi
    sleep 0.1
done
[ -n "$status" ] || fail "the demo was still running 60 s after SIGTERM"
pid=""
[ "$status" -eq 0 ] || fail "the demo exited with status $status after SIGTERM"
if [ -e "$link" ] || [ -L "$link" ]; then
    fail "the controller's link $link was left behind"
fi
[ -z "$(compgen -G "$work/tmp/vortanix-demo-*" || true)" ] || fail "the demo's private folder was left behind"
if grep -qE "AddressSanitizer|LeakSanitizer|runtime error:" "$work/out"; then
    fail "sanitizer report"
fi
echo "PASS: demo served $terminal (running time $seconds1 s -> $seconds2 s) and ended cleanly on SIGTERM"
