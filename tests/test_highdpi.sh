#!/usr/bin/env bash
# The window on high-DPI screens: the screenshot tool drives the panel against
# a live virtual controller on a virtual X server (real xcb platform) at 96,
# 144 and 192 DPI, announced as desktops do (Xft.dpi, scripts/on-xvfb.sh). At
# each DPI Qt must see that DPI, scale the whole window by
# it (1, 1.5, 2), keep the window at 1089 x 604 logical pixels, draw it at
# that size times the factor, and the tool's fit check must find every text of
# the four pages inside the rectangle it is drawn in.
# Usage: test_highdpi.sh <build folder>
set -uo pipefail

build="${1:?usage: test_highdpi.sh <build folder>}"
tool="$build/vortanix-screenshots"
here="$(cd "$(dirname "$0")" && pwd)"
on_xvfb="$here/../scripts/on-xvfb.sh"

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

[ -x "$tool" ] || { echo "FAIL: $tool has not been built" >&2; exit 1; }
for program in Xvfb identify fc-list; do
    command -v "$program" >/dev/null 2>&1 \
        || { echo "FAIL: $program is missing (scripts/setup.sh test installs it)" >&2; exit 1; }
done
# Without a CJK font the captions are boxes, and their widths mean nothing.
fc-list :lang=zh family | grep -q . || { echo "FAIL: no CJK font (apt-get install fonts-wqy-zenhei)" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The screen is 2880 px wide: 30, 20 and 15 inches at these DPIs, a whole
# number of millimetres each, so Xvfb reports the DPI exactly.
#     DPI  factor  window in device pixels
cases=(
    "96    1       1089x604"
    "144   1.5     1634x906"
    "192   2       2178x1208"
)
for row in "${cases[@]}"; do
    read -r dpi factor device <<<"$row"
    out="$work/$dpi"
    LSAN_OPTIONS="suppressions=$here/lsan.supp" ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0" \
        bash "$on_xvfb" 2880x1800 "$dpi" "$tool" "$out" >"$work/log-$dpi" 2>&1
    status=$?
    log="$(cat "$work/log-$dpi")"
    # The tool names every widget or text that is cut off, and any value it
    # pictured that did not come from the controller.
    [ "$status" -eq 0 ] || fail "$dpi DPI: the screenshot tool exited with status $status:"$'\n'"$log"

    screen="$(grep '^screen: ' <<<"$log")"
    [[ "$screen" == *"Qt's DPI $dpi.0,"* ]] || fail "$dpi DPI: Qt sees another DPI: ${screen:-no screen line}"
    [[ "$screen" == *"device pixel ratio $factor,"* ]] \
        || fail "$dpi DPI: the scale factor is not $factor: ${screen:-no screen line}"
    # Fonts are laid out at 96 DPI in logical pixels, like every geometry.
    [[ "$screen" == *"logical DPI 96" ]] || fail "$dpi DPI: fonts follow another DPI: ${screen:-no screen line}"
    grep -qx 'window: 1089 x 604' <<<"$log" \
        || fail "$dpi DPI: the window is not 1089 x 604 logical pixels: $(grep '^window: ' <<<"$log")"

    for page in 1-serial 2-device 3-light 4-factory; do
        picture="$out/$page.png"
        if [ ! -s "$picture" ]; then
            fail "$dpi DPI: $page.png was not saved"
            continue
        fi
        size="$(identify -format '%wx%h' "$picture")"
        [ "$size" = "$device" ] || fail "$dpi DPI: $page.png is $size device pixels, expected $device"
    done
    if grep -qE 'AddressSanitizer|LeakSanitizer|runtime error:' <<<"$log"; then
        fail "$dpi DPI: sanitizer report:"$'\n'"$log"
    fi
    echo "$dpi DPI: ${screen#screen: }"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "PASS: at 96, 144 and 192 DPI the window scales as a whole and every text fits"
