#!/usr/bin/env bash
# Builds and runs the benchmark, prints its tables and writes them, with a
# description of this machine, to docs/benchmarks.md.
# Usage: scripts/bench.sh [build-dir]      (default: build-bench in the source tree)
# Installs nothing: libmodbus-dev comes with `scripts/setup.sh test`.
# The run takes about six minutes after the build (three and a half for the
# panel and vortanix-ctl, two for the bridge); run it on an otherwise quiet
# machine.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-bench}"
command_line="scripts/bench.sh${1:+ $1}"

if ! pkg-config --exists libmodbus; then
    echo "libmodbus is missing; install it with: bash scripts/setup.sh test" >&2
    exit 1
fi

echo "== Configure and build (Release) in $build" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORTANIX_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target vortanix-bench vortanix-startup vortanix-bare vortanix-ctl-bench vortanix-bridge-bench \
    vortanix-metrics-bench vortanix-gateway-bench \
    -j"$(nproc)" >/dev/null

load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
started="$(date -u '+%Y-%m-%d %H:%M UTC')"
results="$(mktemp)"
trap 'rm -f "$results"' EXIT
QT_QPA_PLATFORM=offscreen "$build/bench/vortanix-bench" >"$results"
"$build/bench/vortanix-ctl-bench" >>"$results"
# The bridge against a real broker (mosquitto, from scripts/setup.sh test).
"$build/bench/vortanix-bridge-bench" >>"$results"
"$build/bench/vortanix-metrics-bench" >>"$results"
# The bridge's Modbus TCP gateway with libmodbus clients.
"$build/bench/vortanix-gateway-bench" >>"$results"
load_after="$(cut -d' ' -f1-3 /proc/loadavg)"

cpu="$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)"
mem_kib="$(sed -n 's/^MemTotal:[[:space:]]*\([0-9]*\) kB/\1/p' /proc/meminfo)"
qt="$(pkg-config --modversion Qt5Core)"
lock_dir="$(readlink -f /var/lock)"
compiler="$(${CXX:-c++} --version | head -n1)"
commit="$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
if [ -n "$(git -C "$root" status --porcelain 2>/dev/null)" ]; then
    commit="$commit with uncommitted changes"
fi

{
    echo "# Benchmarks"
    echo
    echo "Written by \`$command_line\` on $started. Every number below comes from that one run."
    echo
    echo "## Machine"
    echo
    echo "| | |"
    echo "|---|---|"
    echo "| CPU | $cpu, $(nproc) cores available |"
    echo "| Memory | $((mem_kib / 1024)) MiB |"
    echo "| Kernel | $(uname -sr) |"
    echo "| Qt | $qt |"
    echo "| libmodbus | $(pkg-config --modversion libmodbus) |"
    echo "| Compiler | $compiler, CMake build type Release |"
    echo "| Source | commit $commit |"
    echo "| Serial lock files | /var/lock → $lock_dir ($(stat -f -c %T "$lock_dir")) |"
    echo "| Load average (1, 5, 15 min) | $load_before before the run, $load_after after |"
    echo
    echo "The machine is shared; a load average above the number of cores means other work ran alongside"
    echo "and the 99th percentiles and the longest stalls carry its scheduling delays."
    echo
    cat "$results"
} >"$root/docs/benchmarks.md"

cat "$results"
echo >&2
echo "Written to docs/benchmarks.md" >&2
