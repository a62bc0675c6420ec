#!/usr/bin/env bash
# Installs what is missing, builds, and starts the panel with its embedded
# virtual controller (vortanix-demo). For real hardware start build/vortanix.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh" run
bash "$root/scripts/build.sh" "$root/build" -- vortanix vortanix-demo vortanix-sim
if [ -x "$root/build/vortanix-demo" ]; then
    exec "$root/build/vortanix-demo" "$@"
fi
exec "$root/build/vortanix" "$@"
