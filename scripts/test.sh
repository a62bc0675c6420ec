#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: the normal
# build with Qt 5 and with Qt 6, the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer (Qt 5), bounded fuzz runs of everything that
# takes bytes from the line or a file, and the arm64 cross build: its package
# and its suites under QEMU.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh" test

# Each stage's time, printed as it ends and all together at the end
# (docs/development.md keeps the measured ones).
times=()
stage_started=$SECONDS
stage_name=""
stage() {
    if [ -n "$stage_name" ]; then
        times+=("$(printf '%5d s  %s' $((SECONDS - stage_started)) "$stage_name")")
        echo "== ${times[-1]}"
    fi
    stage_name="$1"
    stage_started=$SECONDS
    [ -z "$stage_name" ] || echo "== $stage_name"
}

stage "Build and test (Qt 5)"
bash "$root/scripts/build.sh" "$root/build"
(cd "$root/build" && ctest --output-on-failure -j2)

stage "Build and test with Qt 6"
bash "$root/scripts/build.sh" "$root/build-qt6" -DVORTANIX_QT=6
(cd "$root/build-qt6" && ctest --output-on-failure -j2)

stage "Bounded fuzz runs"
# Without precompiled headers: each file of the libraries it builds must
# include what it uses.
CC=clang CXX=clang++ bash "$root/scripts/build.sh" "$root/build-fuzz" -DVORTANIX_FUZZ=ON \
    -DCMAKE_DISABLE_PRECOMPILE_HEADERS=ON -- fuzz_reply fuzz_configfile fuzz_payload fuzz_bridgeconfig
(cd "$root/build-fuzz" && ctest --output-on-failure -j2)

stage "The same suite under AddressSanitizer and UndefinedBehaviorSanitizer"
bash "$root/scripts/build.sh" "$root/build-asan" -DVORTANIX_SANITIZE=ON
(cd "$root/build-asan" && ctest --output-on-failure -j2)

stage "The arm64 cross build, its package, and its suites as arm64 programs under QEMU"
bash "$root/scripts/setup.sh" cross
bash "$root/scripts/cross-build.sh" arm64 "$root/build-arm64"
(cd "$root/build-arm64" && ctest --output-on-failure -j2)
stage ""
printf '%s\n' "== Stage times:" "${times[@]}"
