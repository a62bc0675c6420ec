#!/usr/bin/env bash
# Installs what building, running and testing the panel needs on Debian 12 or 13.
# Usage: scripts/setup.sh [run|test|cross]
# cross: the arm64 cross build (scripts/cross-build.sh arm64) and running its
# programs under QEMU; it adds the arm64 architecture to dpkg.
# Works as root and, for a desktop user, through sudo. Installs nothing that is
# already there, so a second run costs a few dpkg queries.
set -euo pipefail

mode="${1:-run}"

# Names that differ between releases are chosen here, and only here, by the
# release's code name (add them to release_packages). None do at present: the
# sanitizer runtimes come with the release's default clang (14 on Debian 12,
# 19 on Debian 13) through the unversioned libclang-rt-dev, which both have;
# a name with clang's version in it exists in one release only.
codename="$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")"
release_packages=()
case "$codename" in
    bookworm | trixie) ;;
    *)
        echo "Debian 12 (bookworm) or 13 (trixie) is expected; this is '${codename:-unknown}'." \
            "Trying the package names both have." >&2
        ;;
esac

packages=(
    build-essential cmake pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev qttools5-dev-tools
    # The bridge's MQTT client library.
    libmosquitto-dev
    # Modbus TCP: the bridge's gateway and vortanix-ctl --tcp.
    libmodbus-dev
    # The bridge's gzip-compressed HTTP answers.
    libdeflate-dev
    # A CJK font: the form asks for "仿宋", which font fallback replaces by this.
    fonts-wqy-zenhei
)
if [ "$mode" = "test" ]; then
    packages+=(
        # mbpoll: a third-party Modbus master that talks to the virtual controller.
        mbpoll
        # libFuzzer and the sanitizer runtimes.
        clang libclang-rt-dev
        # lld: links the test programs of each build several times faster.
        lld
        # Modbus TCP clients that test the bridge's gateway (pymodbus's client
        # module imports only with serial-asyncio).
        python3-pymodbus python3-serial-asyncio
        # The same suite built with Qt 6 (-DVORTANIX_QT=6): QTextCodec lives in
        # Core5Compat there; moc and uic come with the base tools.
        qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-5compat-dev
        # Screenshots and the high-DPI test under a virtual X server; ImageMagick
        # measures the pictures.
        xvfb xauth imagemagick
        # xprop: sets the Xft.dpi resource on the virtual X server, as desktops do.
        x11-utils
        # Package checks: Debian's package checker, the AppStream and menu-entry
        # validators, manual pages rendered as man shows them, XML queries, and
        # a fresh Debian root to install the package into.
        lintian appstream desktop-file-utils man-db libxml2-utils
        debootstrap debian-archive-keyring
        # The bridge's tests: a real broker, its clients, and openssl for a test CA;
        # the Prometheus server and promtool, which scrape and lint its metrics.
        mosquitto mosquitto-clients openssl prometheus
        # A serial device server of its own for the RTU-over-TCP test (socat
        # between a terminal and TCP); systemd-analyze scores the bridge's unit.
        socat systemd
        # The browser that loads the bridge's status page (headless), and curl,
        # which the scrape benchmark compares itself with.
        chromium curl
    )
    packages+=("${release_packages[@]}")
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
        qtbase5-dev:arm64 libqt5serialport5-dev:arm64 libmosquitto-dev:arm64 libmodbus-dev:arm64
        libdeflate-dev:arm64
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
