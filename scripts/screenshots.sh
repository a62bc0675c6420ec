#!/usr/bin/env bash
# Pictures of the panel's four pages for the README: runs the panel against a
# live virtual controller (vortanix-screenshots) under a virtual X server, so
# the pictures show real fonts, and writes docs/screenshots/*.png.
# Usage: scripts/screenshots.sh [build folder] [output folder]
# Needs xvfb and xauth (scripts/setup.sh test installs them) and a CJK font.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
out="${2:-$root/docs/screenshots}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

for tool in xvfb-run xauth; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "screenshots: $tool is missing (apt-get install xvfb xauth)" >&2
        exit 1
    fi
done
if ! fc-list :lang=zh family | grep -q .; then
    echo "screenshots: no CJK font is installed, Chinese captions would show as boxes (apt-get install fonts-wqy-zenhei)" >&2
    exit 1
fi

cmake --build "$build" --target vortanix-screenshots >/dev/null
rm -f "$out"/{1-serial,2-device,3-light,4-factory}.png
runtime="$(mktemp -d)"
trap 'rm -rf "$runtime"' EXIT
# Xvfb's screen is larger than the 1089 x 604 window; the tool grabs the window itself.
QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$runtime" \
    xvfb-run -a -s "-screen 0 1280x800x24" "$build/vortanix-screenshots" "$out"
