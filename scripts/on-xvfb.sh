#!/usr/bin/env bash
# Runs a command with Qt's xcb platform on a private virtual X server (Xvfb)
# of the given size and DPI, and exits with the command's status.
# Usage: scripts/on-xvfb.sh <width>x<height> <dpi> <command> [arguments...]
# Xvfb picks a free display itself (-displayfd), so runs started at the same
# time never race for one. Qt's scaling variables are cleared: what counts is
# what the program itself sets up. The program gets no D-Bus session bus: with
# none named, libdbus would start one for the display (dbus-launch), which
# would outlive the run. Qt's GL integration is left out: widgets draw without
# GL, and Mesa's GLX library, once loaded, leaks 128 bytes that LeakSanitizer
# reports in sanitized builds.
set -euo pipefail
size="${1:?usage: on-xvfb.sh <width>x<height> <dpi> <command> [arguments...]}"
dpi="${2:?usage: on-xvfb.sh <width>x<height> <dpi> <command> [arguments...]}"
shift 2
[ "$#" -gt 0 ] || { echo "on-xvfb: no command given" >&2; exit 2; }
command -v Xvfb >/dev/null 2>&1 || { echo "on-xvfb: Xvfb is missing (apt-get install xvfb)" >&2; exit 1; }
command -v xprop >/dev/null 2>&1 || { echo "on-xvfb: xprop is missing (apt-get install x11-utils)" >&2; exit 1; }

work="$(mktemp -d)"
server=""
cleanup() {
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
chmod 700 "$work"

# Xvfb writes its display number to the pipe once it accepts clients.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 "${size}x24" -dpi "$dpi" -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
server=$!
display=""
read -r -t 120 display <"$work/display" || true
if [ -z "$display" ]; then
    echo "on-xvfb: Xvfb did not start:" >&2
    cat "$work/xvfb.log" >&2
    exit 1
fi

# The DPI as desktops announce it, in the Xft.dpi resource. Qt 6 and Debian
# 13's Qt 5.15.15 take the scale factor from it alone (without it they assume
# 96 DPI, whatever the screen's size in millimetres); Debian 12's Qt 5.15.8
# reads the same DPI from the screen's size.
if ! DISPLAY=":$display" xprop -root -format RESOURCE_MANAGER 8s -set RESOURCE_MANAGER "Xft.dpi:	$dpi" 2>"$work/xprop.log"; then
    echo "on-xvfb: could not set Xft.dpi on the virtual X server:" >&2
    cat "$work/xprop.log" >&2
    exit 1
fi

status=0
env -u QT_SCALE_FACTOR -u QT_SCREEN_SCALE_FACTORS -u QT_AUTO_SCREEN_SCALE_FACTOR -u QT_ENABLE_HIGHDPI_SCALING \
    -u QT_SCALE_FACTOR_ROUNDING_POLICY -u QT_FONT_DPI -u QT_DEVICE_PIXEL_RATIO -u QT_USE_PHYSICAL_DPI \
    DISPLAY=":$display" QT_QPA_PLATFORM=xcb QT_XCB_GL_INTEGRATION=none XDG_RUNTIME_DIR="$work" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" \
    "$@" || status=$?
exit "$status"
