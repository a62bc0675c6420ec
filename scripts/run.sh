#!/usr/bin/env bash
# Installs what is missing, builds, and starts the panel with its embedded
# virtual controller (vortanix-demo). For real hardware start build/vortanix.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh" run
bash "$root/scripts/build.sh" "$root/build" -- vortanix vortanix-demo vortanix-sim

# Without a display Qt would abort; say what to do instead (the build stays).
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    cat >&2 <<MESSAGE
The panel is built (in $root/build), but there is no display to show its window:
neither DISPLAY nor WAYLAND_DISPLAY is set. Start it in one of these ways:
  - from a terminal in a desktop session:   bash scripts/run.sh
  - in a virtual X server (apt-get install xvfb xauth):
                                            xvfb-run -a bash scripts/run.sh
  - as a VNC server, then connect a VNC viewer to port 5900 of this machine:
                                            QT_QPA_PLATFORM=vnc bash scripts/run.sh
MESSAGE
    exit 1
fi

if [ -x "$root/build/vortanix-demo" ]; then
    exec "$root/build/vortanix-demo" "$@"
fi
exec "$root/build/vortanix" "$@"
