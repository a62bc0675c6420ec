#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: the normal
# build with Qt 5 and with Qt 6, the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer (Qt 5), bounded fuzz runs of everything that
# takes bytes from the line or a file, and the arm64 cross build: its package
# and its suites under QEMU.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh" test

echo "== Build and test"
bash "$root/scripts/build.sh" "$root/build"
(cd "$root/build" && ctest --output-on-failure -j2)

echo "== Build and test with Qt 6"
bash "$root/scripts/build.sh" "$root/build-qt6" -DVORTANIX_QT=6
(cd "$root/build-qt6" && ctest --output-on-failure -j2)

echo "== Bounded fuzz runs"
CC=clang CXX=clang++ bash "$root/scripts/build.sh" "$root/build-fuzz" -DVORTANIX_FUZZ=ON -- fuzz_reply fuzz_configfile fuzz_payload fuzz_bridgeconfig
(cd "$root/build-fuzz" && ctest --output-on-failure)

echo "== The same suite under AddressSanitizer and UndefinedBehaviorSanitizer"
bash "$root/scripts/build.sh" "$root/build-asan" -DVORTANIX_SANITIZE=ON
(cd "$root/build-asan" && ctest --output-on-failure -j2)

echo "== The arm64 cross build, its package, and its suites as arm64 programs under QEMU"
bash "$root/scripts/setup.sh" cross
bash "$root/scripts/cross-build.sh" arm64 "$root/build-arm64"
(cd "$root/build-arm64" && ctest --output-on-failure -j2)
