#!/usr/bin/env bash
# The Debian package: cpack builds it from the build folder (into a folder of
# its own); it holds the three programs, both menu entries and the icon, the
# menu entries start programs the package installs and name its icon, and
# its Depends line covers every library the programs link against and a CJK
# font. The package is not installed.
# Usage: test_package.sh <build folder>
set -euo pipefail

build="$(cd "${1:?usage: test_package.sh <build folder>}" && pwd)"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

[ -f "$build/CPackConfig.cmake" ] || fail "$build/CPackConfig.cmake is missing"
for tool in cpack dpkg-deb dpkg objdump; do
    command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing"
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1) \
    || { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
debs=("$work"/vortanix_*.deb)
if [ "${#debs[@]}" -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    fail "cpack made no single vortanix_*.deb: $(ls "$work")"
fi
deb="${debs[0]}"

field() {
    dpkg-deb -f "$deb" "$1"
}
[ "$(field Package)" = vortanix ] || fail "package name is '$(field Package)'"
[ "$(field Version)" = 1.10 ] || fail "version is '$(field Version)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture is '$(field Architecture)'"
depends="$(field Depends)"

# Alternatives of one Depends item, one package name a line.
depends_items() {
    tr ',' '\n' <<<"$depends" | sed 's/([^)]*)//g; s/[[:space:]]//g'
}
depends_items | grep -qx 'libqt5serialport5' || fail "Depends does not name libqt5serialport5: $depends"
depends_items | grep -E '^(fonts-wqy-zenhei|fonts-wqy-microhei|fonts-noto-cjk|fonts-arphic-[a-z]+)(\||$)' -q \
    || fail "Depends names no CJK font as an item of its own: $depends"
# The X11 platform plugin is loaded at run time, so no library lookup finds it.
xcb_package="$(dpkg -S /usr/lib/*/qt5/plugins/platforms/libqxcb.so 2>/dev/null | head -n 1 | cut -d: -f1 || true)"
if [ -n "$xcb_package" ]; then
    depends_items | tr '|' '\n' | grep -qx "$xcb_package" || fail "Depends lacks $xcb_package, the X11 platform plugin"
fi

contents="$(dpkg-deb -c "$deb")"
for path in usr/bin/vortanix usr/bin/vortanix-demo usr/bin/vortanix-sim; do
    grep -qE "^-rwxr-xr-x .* \./$path\$" <<<"$contents" || fail "$path is missing or not executable: $contents"
done
for path in usr/share/applications/vortanix.desktop usr/share/applications/vortanix-demo.desktop \
    usr/share/icons/hicolor/scalable/apps/vortanix.svg; do
    grep -qE "^-rw-r--r-- .* \./$path\$" <<<"$contents" || fail "$path is missing: $contents"
done

dpkg-deb -x "$deb" "$work/root"
root="$work/root"
grep -q '<svg' "$root/usr/share/icons/hicolor/scalable/apps/vortanix.svg" || fail "the icon is no SVG"
for entry in vortanix vortanix-demo; do
    file="$root/usr/share/applications/$entry.desktop"
    grep -qx '\[Desktop Entry\]' "$file" || fail "$entry.desktop has no [Desktop Entry] group"
    grep -qx 'Type=Application' "$file" || fail "$entry.desktop is not an application entry"
    grep -qx "Exec=$entry" "$file" || fail "$entry.desktop does not start /usr/bin/$entry"
    grep -qx 'Icon=vortanix' "$file" || fail "$entry.desktop does not name the vortanix icon"
    grep -q '^Name\[zh_CN\]=.' "$file" || fail "$entry.desktop has no Chinese name"
    if command -v desktop-file-validate >/dev/null 2>&1; then
        desktop-file-validate "$file" || fail "$entry.desktop does not validate"
    fi
done

# Every library a program links against comes from a package that Depends names.
owners_of() {
    local path="$1" candidate
    for candidate in "$path" "${path#/usr}" "/usr$path"; do
        if dpkg -S "$candidate" >/dev/null 2>&1; then
            dpkg -S "$candidate" | grep -v '^diversion' | sed 's|: /.*||' | tr ',' '\n' | sed 's/[[:space:]]//g; s/:.*//'
            return
        fi
    done
}
for program in vortanix vortanix-demo vortanix-sim; do
    binary="$root/usr/bin/$program"
    needed="$(objdump -p "$binary" | awk '$1 == "NEEDED" { print $2 }')"
    [ -n "$needed" ] || fail "objdump lists no libraries for $program"
    resolved="$(ldd "$binary")"
    while read -r library; do
        path="$(awk -v lib="$library" '$1 == lib && $2 == "=>" { print $3 }' <<<"$resolved")"
        if [ -z "$path" ] || [ "$path" = "not" ]; then
            fail "$program needs $library, which is not installed"
        fi
        owners="$(owners_of "$path")"
        [ -n "$owners" ] || fail "$program needs $path, which no package provides"
        grep -qxF -f <(depends_items | tr '|' '\n') <<<"$owners" \
            || fail "$program needs $path from $(tr '\n' ' ' <<<"$owners")which Depends does not name: $depends"
    done <<<"$needed"
done

echo "PASS: $(basename "$deb") holds the programs, menu entries and icon; Depends: $depends"
