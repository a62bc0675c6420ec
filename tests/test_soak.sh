#!/usr/bin/env bash
# A bounded soak: 1,000 polls and 100 commands of the real window against the
# virtual controller; fails when open file descriptors change or resident
# memory grows by 1 MiB or more, or when the link stops answering.
# Argument: the build directory.
set -euo pipefail
build="${1:?usage: test_soak.sh <build directory>}"
soak="$build/soak/vortanix-soak"
if [[ ! -x "$soak" ]]; then
  echo "test_soak: $soak is not built; nothing to run"
  exit 0
fi
here="$(cd "$(dirname "$0")" && pwd)"
# CTest passes the test environment; these are the same, for a run by hand.
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$here/lsan.supp}"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:fast_unwind_on_malloc=0}"
exec "$soak" --polls 1000 --commands 100
