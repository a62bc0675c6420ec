#!/usr/bin/env bash
# The Debian package, as cpack builds it from the build folder (into a folder
# of its own), checked the way Debian's maintainers check one:
# - lintian reports no error and no warning, and overrides none of them
#   without a comment that says why;
# - every program in usr/bin has a manual page, every page renders without a
#   warning, and the options a command-line program prints are on its page;
# - the copyright file is machine-readable and the changelog's newest entry is
#   this version;
# - the menu entries validate and start programs of the package; the AppStream
#   metadata validates, names those menu entries with their categories, and
#   lists this version as its newest release;
# - the Architecture is the one the programs are built for (arm64 from the
#   cross build, amd64 natively);
# - the bridge's service scores "OK" (2.5 at most) in systemd-analyze security;
# - Depends covers every library the programs link against (those of the
#   package's architecture), at least the versions dpkg-shlibdeps computes
#   for them, and a CJK font.
# The package is not installed here (test_package_install.sh does that).
# Usage: test_package.sh <build folder>
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
source "$here/support/package.sh"
# shellcheck source=support/emulator.sh
source "$here/support/emulator.sh"

build="$(cd "${1:?usage: test_package.sh <build folder>}" && pwd)"
need_tools dpkg dpkg-architecture dpkg-shlibdeps readelf lintian man lexgrog appstreamcli desktop-file-validate xmllint dpkg-parsechangelog systemd-analyze

# Programs that print their options with --help, so that their pages can be
# checked against them.
option_programs=(vortanix-sim vortanix-ctl vortanix-bridge)
# What lintian said about the first package: none of it may be overridden.
fixed_tags='bogus-mail-host|no-changelog|no-copyright-file|extended-description-line-too-long|no-manual-page'

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
build_deb

field() {
    dpkg-deb -f "$deb" "$1"
}
version="$(field Version)"
[ "$(field Package)" = vortanix ] || fail "package name is '$(field Package)'"
[ "$version" = 1.10 ] || fail "version is '$version'"
depends="$(field Depends)"

contents="$(dpkg-deb -c "$deb")"
for path in usr/bin/vortanix usr/bin/vortanix-demo usr/bin/vortanix-sim usr/bin/vortanix-ctl usr/bin/vortanix-bridge; do
    grep -qE "^-rwxr-xr-x .* \./$path\$" <<<"$contents" || fail "$path is missing or not executable: $contents"
done
for path in usr/share/applications/vortanix.desktop usr/share/applications/vortanix-demo.desktop \
    usr/share/icons/hicolor/scalable/apps/vortanix.svg usr/share/doc/vortanix/copyright \
    usr/share/doc/vortanix/changelog.gz usr/share/bash-completion/completions/vortanix-ctl \
    usr/lib/systemd/system/vortanix-bridge.service etc/vortanix/bridge.ini \
    usr/share/vortanix/monitoring/vortanix-rules.yml usr/share/vortanix/monitoring/vortanix-dashboard.json \
    usr/share/doc/vortanix/examples/board-mosquitto.conf usr/share/doc/vortanix/examples/prometheus-scrape.yml; do
    grep -qE "^-rw-r--r-- .* \./$path\$" <<<"$contents" || fail "$path is missing: $contents"
done

dpkg-deb -x "$deb" "$work/root"
root="$work/root"

# --- architecture: the one the programs are built for (a cross build's
# package is for the target machine, not this one)
machine_architecture() {
    local machine
    machine="$(readelf -h "$1" | sed -n 's/^ *Machine: *//p')"
    case "$machine" in
    "Advanced Micro Devices X86-64") echo amd64 ;;
    AArch64) echo arm64 ;;
    ARM) echo armhf ;;
    *) fail "$1 is built for '$machine', which this test does not know" ;;
    esac
}
architecture="$(field Architecture)"
# Where Debian puts the libraries of that architecture.
multiarch="$(dpkg-architecture -a "$architecture" -qDEB_HOST_MULTIARCH 2>/dev/null)" \
    || fail "dpkg-architecture does not know the architecture '$architecture'"
for binary in "$root"/usr/bin/*; do
    built_for="$(machine_architecture "$binary")"
    [ "$built_for" = "$architecture" ] \
        || fail "the package's architecture is '$architecture', usr/bin/$(basename "$binary") is built for $built_for"
done
[[ "$(basename "$deb")" == "vortanix_${version}_${architecture}.deb" ]] || fail "the package is named $(basename "$deb")"

# --- lintian
lintian_output="$(lintian --display-info --fail-on error,warning "$deb" 2>&1)" \
    || fail "lintian reports errors or warnings:
$lintian_output"
overrides="$root/usr/share/lintian/overrides/vortanix"
if [ -f "$overrides" ]; then
    awk '/^[[:space:]]*$/ { next }
         /^#/ { commented = 1; next }
         { if (!commented) { print "override without a comment that says why: " $0; bad = 1 } commented = 0 }
         END { exit bad }' "$overrides" >&2 || fail "lintian overrides need a comment each"
    if grep -Ev '^#' "$overrides" | grep -qE "(^|[[:space:]])($fixed_tags)([[:space:]]|\$)"; then
        fail "a lintian override hides a finding that must be fixed: $(grep -E "$fixed_tags" "$overrides")"
    fi
fi

# --- the bridge's service runs with least privilege: systemd-analyze's
# exposure level of its unit is 2.5 at most ("OK"; as root it was 7.7)
unit="$root/usr/lib/systemd/system/vortanix-bridge.service"
security="$(systemd-analyze security --offline=true "$unit" 2>&1)" || fail "systemd-analyze cannot score the unit: $security"
exposure="$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' <<<"$security")"
[ -n "$exposure" ] && awk -v level="$exposure" 'BEGIN { exit !(level <= 2.5) }' \
    || fail "vortanix-bridge.service's exposure level is '$exposure' (at most 2.5):
$security"

# --- manual pages
for program_path in "$root"/usr/bin/*; do
    program="$(basename "$program_path")"
    [ -f "$root/usr/share/man/man1/$program.1.gz" ] \
        || fail "usr/bin/$program has no manual page: add packaging/man/$program.1"
done
pages=("$root"/usr/share/man/man*/*.gz)
[ -f "${pages[0]}" ] || fail "the package holds no manual page"
for page in "${pages[@]}"; do
    name="$(basename "$page" .gz)"
    name="${name%.*}"
    gzip -t "$page" || fail "$page is not a valid gzip file"
    warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >"$work/page.txt")" \
        || fail "man could not render $name's page: $warnings"
    [ -z "$warnings" ] || fail "$name's page renders with warnings:
$warnings"
    grep -q '^NAME$' "$work/page.txt" || fail "$name's page has no NAME section"
    whatis="$(LC_ALL=C.UTF-8 lexgrog "$page")" || fail "lexgrog cannot read the NAME line of $name's page"
    [[ "$whatis" == *": \"$name - "* ]] || fail "$name's page names another program or has no summary: $whatis"
done
for program in "${option_programs[@]}"; do
    help="$("${emulator[@]}" "$root/usr/bin/$program" --help)" || fail "$program --help failed"
    options="$(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u)"
    [ -n "$options" ] || fail "$program --help lists no options: $help"
    # The page's OPTIONS section, where each option heads an entry of its own.
    described="$(LC_ALL=C.UTF-8 MANWIDTH=200 man -E UTF-8 -l "$root/usr/share/man/man1/$program.1.gz" \
        | awk '/^[A-Z]/ { in_options = ($0 == "OPTIONS") ; next } in_options')"
    while read -r option; do
        grep -qE -- "^[[:space:]]+$option([^a-z0-9-]|\$)" <<<"$described" \
            || fail "$program --help offers $option, which the OPTIONS of its manual page do not describe"
    done <<<"$options"
done

# --- copyright and changelog
head -n 1 "$root/usr/share/doc/vortanix/copyright" \
    | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    || fail "the copyright file is not in the machine-readable format"
zcat "$root/usr/share/doc/vortanix/changelog.gz" >"$work/changelog"
newest="$(dpkg-parsechangelog -l "$work/changelog" -S Version)" || fail "the changelog does not parse"
[ "$newest" = "$version" ] || fail "the changelog's newest entry is $newest, the package is $version"

# --- menu entries and AppStream metadata
for file in "$root"/usr/share/applications/*.desktop; do
    entry="$(basename "$file" .desktop)"
    desktop-file-validate "$file" || fail "$entry.desktop does not validate"
    grep -qx '\[Desktop Entry\]' "$file" || fail "$entry.desktop has no [Desktop Entry] group"
    grep -qx 'Type=Application' "$file" || fail "$entry.desktop is not an application entry"
    exec_program="$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$file")"
    [ -x "$root/usr/bin/$exec_program" ] || fail "$entry.desktop starts '$exec_program', which the package does not hold"
    grep -qx 'Icon=vortanix' "$file" || fail "$entry.desktop does not name the vortanix icon"
    grep -q '^Name\[zh_CN\]=.' "$file" || fail "$entry.desktop has no Chinese name"
done
for entry in vortanix vortanix-demo; do
    [ "$(sed -n 's/^Exec=//p' "$root/usr/share/applications/$entry.desktop")" = "$entry" ] \
        || fail "$entry.desktop does not start /usr/bin/$entry"
done

sorted_words() {
    tr ';\n' '\n\n' | sed '/^$/d' | LC_ALL=C sort
}
launched=""
for file in "$root"/usr/share/metainfo/*; do
    [ -f "$file" ] || fail "the package holds no AppStream metadata"
    name="$(basename "$file")"
    appstreamcli validate --no-net "$file" >"$work/validate" 2>&1 || { cat "$work/validate" >&2; fail "$name does not validate"; }
    id="$(xmllint --xpath 'string(/component/id)' "$file")"
    [ "$name" = "$id.metainfo.xml" ] || fail "$name holds the component $id"
    desktop="$(xmllint --xpath 'string(/component/launchable[@type="desktop-id"])' "$file")"
    [ -f "$root/usr/share/applications/$desktop" ] || fail "$name launches '$desktop', which the package does not hold"
    launched+="$desktop"$'\n'
    categories="$(xmllint --xpath '/component/categories/category/text()' "$file" 2>/dev/null | sorted_words)"
    desktop_categories="$(sed -n 's/^Categories=//p' "$root/usr/share/applications/$desktop" | sorted_words)"
    [ -n "$categories" ] && [ "$categories" = "$desktop_categories" ] \
        || fail "$name has the categories '$(echo $categories)', $desktop has '$(echo $desktop_categories)'"
    release="$(xmllint --xpath 'string(/component/releases/release[1]/@version)' "$file")"
    [ "$release" = "$version" ] || fail "$name's newest release is '$release', the package is $version"
    for binary in $(xmllint --xpath '/component/provides/binary/text()' "$file" 2>/dev/null); do
        [ -x "$root/usr/bin/$binary" ] || fail "$name provides $binary, which the package does not hold"
    done
done
for file in "$root"/usr/share/applications/*.desktop; do
    [ "$(grep -cxF "$(basename "$file")" <<<"$launched")" -eq 1 ] \
        || fail "$(basename "$file") is not launched by exactly one AppStream component"
done
appstreamcli validate-tree --no-net "$root" >"$work/validate" 2>&1 \
    || { cat "$work/validate" >&2; fail "the package's AppStream metadata does not validate as a whole"; }

# --- Depends
# Alternatives of one Depends item, one package name a line.
depends_items() {
    tr ',' '\n' <<<"$depends" | sed 's/([^)]*)//g; s/[[:space:]]//g'
}
depends_items | grep -qx 'libqt5serialport5' || fail "Depends does not name libqt5serialport5: $depends"
depends_items | grep -E '^(fonts-wqy-zenhei|fonts-wqy-microhei|fonts-noto-cjk|fonts-arphic-[a-z]+)(\||$)' -q \
    || fail "Depends names no CJK font as an item of its own: $depends"
# The X11 platform plugin is loaded at run time, so no library lookup finds it.
xcb_package="$(dpkg -S "/usr/lib/$multiarch/qt5/plugins/platforms/libqxcb.so" 2>/dev/null | head -n 1 | cut -d: -f1 || true)"
if [ -n "$xcb_package" ]; then
    depends_items | tr '|' '\n' | grep -qx "$xcb_package" || fail "Depends lacks $xcb_package, the X11 platform plugin"
fi

# What dpkg-shlibdeps computes for the programs from the symbols files of the
# libraries installed for the package's architecture: every package it names
# is in Depends with at least the version it asks for.
mkdir -p "$work/shlibdeps/debian"
printf 'Source: vortanix\n\nPackage: vortanix\nArchitecture: any\n' >"$work/shlibdeps/debian/control"
computed="$(cd "$work/shlibdeps" && DEB_HOST_ARCH="$architecture" dpkg-shlibdeps -O "$root"/usr/bin/* 2>"$work/shlibdeps.log")" \
    || { cat "$work/shlibdeps.log" >&2; fail "dpkg-shlibdeps cannot compute the Depends for $architecture"; }
computed="${computed#shlibs:Depends=}"
[ -n "$computed" ] || fail "dpkg-shlibdeps computes no Depends for $architecture"
version_of() {
    sed -n 's/.*(>= *\([^)]*\)).*/\1/p' <<<"$1"
}
while read -r item; do
    item="${item%%|*}" # the first alternative
    name="$(awk '{ print $1 }' <<<"$item")"
    minimum="$(version_of "$item")"
    declared="$(tr ',|' '\n\n' <<<"$depends" | awk -v name="$name" '$1 == name' | head -n 1)"
    [ -n "$declared" ] || fail "dpkg-shlibdeps computes '$item' for $architecture, which Depends lacks: $depends"
    if [ -n "$minimum" ]; then
        have="$(version_of "$declared")"
        [ -n "$have" ] && dpkg --compare-versions "$have" ge "$minimum" \
            || fail "dpkg-shlibdeps computes '$item' for $architecture, Depends has '$declared'"
    fi
done < <(tr ',' '\n' <<<"$computed" | sed 's/^[[:space:]]*//')

# Every library a program links against comes from a package that Depends
# names: the libraries of the package's architecture (its multiarch folders,
# where Debian puts them for that architecture).
owners_of() {
    local path="$1" candidate
    for candidate in "$path" "${path#/usr}" "/usr$path"; do
        if dpkg -S "$candidate" >/dev/null 2>&1; then
            dpkg -S "$candidate" | grep -v '^diversion' | sed 's|: /.*||' | tr ',' '\n' | sed 's/[[:space:]]//g; s/:.*//'
            return
        fi
    done
}
for binary in "$root"/usr/bin/*; do
    program="$(basename "$binary")"
    needed="$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')"
    [ -n "$needed" ] || fail "readelf lists no libraries for $program"
    while read -r library; do
        path=""
        for folder in "/lib/$multiarch" "/usr/lib/$multiarch"; do
            if [ -e "$folder/$library" ]; then
                path="$folder/$library"
                break
            fi
        done
        [ -n "$path" ] || fail "$program needs $library, which is not installed for $architecture"
        owners="$(owners_of "$path")"
        [ -n "$owners" ] || fail "$program needs $path, which no package provides"
        grep -qxF -f <(depends_items | tr '|' '\n') <<<"$owners" \
            || fail "$program needs $path from $(tr '\n' ' ' <<<"$owners")which Depends does not name: $depends"
    done <<<"$needed"
done

echo "$lintian_output"
echo "PASS: $(basename "$deb"): lintian has no error or warning; ${#pages[@]} manual pages, copyright," \
    "changelog, menu entries and AppStream metadata check out; Depends: $depends"
