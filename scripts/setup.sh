#!/usr/bin/env bash
# Installs what building, running and testing the panel needs on Debian 12.
# Usage: scripts/setup.sh [run|test|cross]
# cross: the arm64 cross build (scripts/cross-build.sh arm64) and running its
# programs under QEMU; it adds the arm64 architecture to dpkg.
# Works as root and, for a desktop user, through sudo. Installs nothing that is
# already there, so a second run costs a few dpkg queries.
set -euo pipefail

mode="${1:-run}"

packages=(
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev qttools5-dev-tools
    # The bridge's MQTT client library.
    libmosquitto-dev
    # A CJK font: the form asks for "仿宋", which font fallback replaces by this.
    fonts-wqy-zenhei
)
if [ "$mode" = "test" ]; then
    packages+=(
        # mbpoll: a third-party Modbus master that talks to the virtual controller.
        mbpoll
        # libFuzzer and the sanitizer runtimes.
        clang libclang-rt-14-dev
        # Benchmark peer.
        libmodbus-dev
        # Screenshots and the high-DPI test under a virtual X server; ImageMagick
        # measures the pictures.
        xvfb xauth imagemagick
        # Package checks: Debian's package checker, the AppStream and menu-entry
        # validators, manual pages rendered as man shows them, XML queries, and
        # a fresh Debian root to install the package into.
        lintian appstream desktop-file-utils man-db libxml2-utils
        debootstrap debian-archive-keyring
        # The bridge's tests: a real broker, its clients, and openssl for a test CA.
        mosquitto mosquitto-clients openssl
    )
fi

# The cross build: the arm64 compilers and libraries beside the amd64 ones
# (Debian's multiarch), and user-mode QEMU, which runs arm64 programs named on
# its command line (binfmt_misc is not needed). apt must not remove anything to
# install them (--no-remove below): an arm64 -dev package that cannot stand
# beside its amd64 twin does not belong here.
cross_architecture=""
if [ "$mode" = "cross" ]; then
    cross_architecture=arm64
    packages+=(
        crossbuild-essential-arm64 qemu-user-static
        qtbase5-dev:arm64 libqt5serialport5-dev:arm64 libmosquitto-dev:arm64
    )
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
else
    echo "These packages are missing and neither root nor sudo is available: ${missing[*]}" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if [ -n "$cross_architecture" ] && ! dpkg --print-foreign-architectures | grep -qx "$cross_architecture"; then
    "${as_root[@]}" dpkg --add-architecture "$cross_architecture"
fi
"${as_root[@]}" apt-get update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-remove --no-install-recommends "${missing[@]}"
