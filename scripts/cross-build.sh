#!/usr/bin/env bash
# Cross-builds the family for a 64-bit ARM gateway on an amd64 Debian machine
# and makes its Debian package, vortanix_<version>_arm64.deb.
# Usage: scripts/cross-build.sh arm64 [build folder] [CMake options...]
# The build folder defaults to build-arm64 in the source tree; the package
# lands in it. What the build needs (the arm64 architecture, the cross
# compilers, the arm64 libraries, QEMU) comes from: bash scripts/setup.sh cross
# Test the result with: (cd build-arm64 && ctest --output-on-failure)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

architecture="${1:-}"
case "$architecture" in
arm64) toolchain="$root/cmake/toolchain-aarch64-linux-gnu.cmake" ;;
"")
    echo "Usage: scripts/cross-build.sh arm64 [build folder] [CMake options...]" >&2
    exit 2
    ;;
*)
    echo "cross-build.sh: no toolchain for '$architecture'; the architectures built here: arm64" >&2
    exit 2
    ;;
esac
shift
build="${1:-$root/build-$architecture}"
shift || true

for tool in aarch64-linux-gnu-g++ qemu-aarch64-static; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "cross-build.sh: $tool is missing; run: bash scripts/setup.sh cross" >&2
        exit 1
    fi
done
if [ ! -f /usr/lib/aarch64-linux-gnu/cmake/Qt5Core/Qt5CoreConfig.cmake ]; then
    echo "cross-build.sh: Qt 5 for arm64 is missing; run: bash scripts/setup.sh cross" >&2
    exit 1
fi

bash "$root/scripts/build.sh" "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" "$@"
(cd "$build" && cpack -G DEB --config CPackConfig.cmake >cpack.log 2>&1) \
    || { cat "$build/cpack.log" >&2; echo "cross-build.sh: cpack failed" >&2; exit 1; }
version="$(sed -n 's/^project(vortanix VERSION \([^ ]*\) .*/\1/p' "$root/CMakeLists.txt")"
deb="$build/vortanix_${version}_${architecture}.deb"
[ -f "$deb" ] || { echo "cross-build.sh: cpack made no $deb" >&2; exit 1; }
echo "Built $deb"
