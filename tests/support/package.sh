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

# cpack into $work/deb; sets $deb to the one vortanix_*.deb it made.
build_deb() {
    [ -f "$build/CPackConfig.cmake" ] || fail "$build/CPackConfig.cmake is missing"
    need_tools cpack dpkg-deb
    mkdir -p "$work/deb"
    (cd "$work/deb" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1) \
        || { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
    local debs=("$work"/deb/vortanix_*.deb)
    if [ "${#debs[@]}" -ne 1 ] || [ ! -f "${debs[0]}" ]; then
        fail "cpack made no single vortanix_*.deb: $(ls "$work/deb")"
    fi
    deb="${debs[0]}"
}
