# Sourced by the package tests: builds the Debian package of a build folder.
# Needs: $build (an absolute build folder) and $work (a folder of the test's own).

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

need_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing (bash scripts/setup.sh test installs it)"
    done
}

# cpack into $work/deb; sets $deb to the one vortanix_*.deb it made. Under
# CTest the package tests share one package, made once per run by the test
# package_deb into $VORTANIX_DEB_FOLDER (tests/CMakeLists.txt).
build_deb() {
    need_tools cpack dpkg-deb
    local folder="$work/deb"
    if [ -n "${VORTANIX_DEB_FOLDER:-}" ]; then
        folder="$VORTANIX_DEB_FOLDER"
    else
        make_deb "$folder"
    fi
    local debs=("$folder"/vortanix_*.deb)
    if [ "${#debs[@]}" -ne 1 ] || [ ! -f "${debs[0]}" ]; then
        fail "cpack made no single vortanix_*.deb: $(ls "$folder")"
    fi
    deb="${debs[0]}"
}

# cpack into the folder $1 (emptied first), its output into $1.log.
make_deb() {
    [ -f "$build/CPackConfig.cmake" ] || fail "$build/CPackConfig.cmake is missing"
    rm -rf "$1"
    mkdir -p "$1"
    (cd "$1" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$1" >"$1.log" 2>&1) \
        || { cat "$1.log" >&2; fail "cpack -G DEB failed"; }
}

# As a program: makes the package of the build folder $2 in the folder $3.
if [ "${1:-}" = --make-deb ]; then
    build="$(cd "${2:?usage: package.sh --make-deb <build folder> <folder>}" && pwd)"
    need_tools cpack
    make_deb "${3:?usage: package.sh --make-deb <build folder> <folder>}"
fi
