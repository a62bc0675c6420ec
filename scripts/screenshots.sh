#!/usr/bin/env bash
# Pictures of the panel's four pages for the README: runs the panel against a
# live virtual controller (vortanix-screenshots) under a virtual X server, so
# the pictures show real fonts, and writes docs/screenshots/*.png: the four
# pages at 96 DPI and the device page at 192 DPI (a 200 % screen). Then the
# bridge's status page for the plant guide (status-page.png), as its browser
# test sees it with a controller that has stopped answering.
# Usage: scripts/screenshots.sh [build folder] [output folder]
# Needs xvfb and chromium (scripts/setup.sh test installs them) and a CJK font.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
out="${2:-$root/docs/screenshots}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

if ! command -v Xvfb >/dev/null 2>&1; then
    echo "screenshots: Xvfb is missing (apt-get install xvfb)" >&2
    exit 1
fi
if ! fc-list :lang=zh family | grep -q .; then
    echo "screenshots: no CJK font is installed, Chinese captions would show as boxes (apt-get install fonts-wqy-zenhei)" >&2
    exit 1
fi

cmake --build "$build" --target vortanix-screenshots >/dev/null
rm -f "$out"/{1-serial,2-device,3-light,4-factory,2-device-192dpi}.png
# Screens wider than the window, a whole number of millimetres wide at their
# DPI (15 inches), so Qt sees exactly 96 and 192 DPI.
bash "$root/scripts/on-xvfb.sh" 1440x900 96 "$build/vortanix-screenshots" "$out"
# At 192 DPI the whole window is drawn twice as large: keep its device page.
hidpi="$(mktemp -d)"
trap 'rm -rf "$hidpi"' EXIT
bash "$root/scripts/on-xvfb.sh" 2880x1800 192 "$build/vortanix-screenshots" "$hidpi"
mv "$hidpi/2-device.png" "$out/2-device-192dpi.png"
echo "$out/2-device-192dpi.png"

# The status page: chromium, headless, in the test of the page (it needs the build's tests).
cmake --build "$build" --target tst_statuspage >/dev/null
VORTANIX_STATUS_SCREENSHOT="$out/status-page.png" QT_QPA_PLATFORM=offscreen \
    "$build/tests/tst_statuspage" silentControllerNotAnsweringThenOffline >/dev/null
echo "$out/status-page.png"
