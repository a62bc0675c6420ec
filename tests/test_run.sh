#!/usr/bin/env bash
# A newcomer's first command on a machine without a display: scripts/run.sh
# builds, then says how to start the panel instead of letting Qt abort, and
# exits non-zero with the programs built.
# Usage: test_run.sh <build folder>   (run.sh itself always uses <source>/build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

out="$(mktemp)"
trap 'rm -f "$out"' EXIT
status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM bash "$root/scripts/run.sh" >"$out" 2>&1 || status=$?

[ "$status" -ne 0 ] || fail "run.sh without a display exited 0: $(cat "$out")"
# 134 is Qt's abort (could not connect to display).
[ "$status" -ne 134 ] || fail "run.sh started the window and Qt aborted: $(cat "$out")"
grep -q 'no display' "$out" || fail "run.sh does not say that there is no display: $(cat "$out")"
for way in 'xvfb-run -a bash scripts/run.sh' 'QT_QPA_PLATFORM=vnc bash scripts/run.sh' 'desktop session'; do
    grep -qF -- "$way" "$out" || fail "run.sh does not offer '$way': $(cat "$out")"
done
grep -q 'could not connect to display' "$out" && fail "the window was started: $(cat "$out")"
for program in vortanix vortanix-demo vortanix-sim; do
    [ -x "$root/build/$program" ] || fail "$program was not built (or not kept)"
done
echo "PASS: run.sh without a display exits $status, says what to do, and keeps the build"
