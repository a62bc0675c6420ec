#!/usr/bin/env bash
# Configures and builds the panel.
# Usage: scripts/build.sh <build folder> [CMake options...] [-- targets...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
shift || true
options=()
targets=()
while [ "$#" -gt 0 ]; do
    if [ "$1" = "--" ]; then
        shift
        targets=("$@")
        break
    fi
    options+=("$1")
    shift
done
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
if [ "${#targets[@]}" -gt 0 ]; then
    cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
else
    cmake --build "$build" -j"$(nproc)"
fi
