#!/usr/bin/env bash
# The package on a fresh Debian of the machine's own release (12 or 13; the
# package is built against its libraries): a minimal root (debootstrap, variant
# minbase) from the Debian mirror this machine uses gets the package's Depends
# with apt (no recommends), then the package itself. vortanix-demo runs there
# headless for a few seconds, its virtual controller answers a Modbus read and
# vortanix-ctl's status read, and it stops cleanly on SIGTERM; the bridge's
# system user reads its configuration. After `apt-get purge` dpkg no longer
# knows the package and the root holds exactly the files it held before the
# package came; the system user stays, as Debian keeps system users.
#
# Everything that mounts or runs in the root happens in private mount and PID
# namespaces: when the test ends, however it ends, the kernel drops the mounts
# and ends every process that was started in the root; the root itself is
# removed on every exit the shell sees, and by the next run after a SIGKILL.
# Downloaded .deb files are kept in <build folder>/package-cache between runs
# (debootstrap and apt check each one against the archive's signed indexes);
# the root is new every time. Needs root and the network path to the mirror
# (VORTANIX_DEBIAN_MIRROR names another one).
# Usage: test_package_install.sh <build folder>
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
source "$here/support/package.sh"

# The test as a whole must end, and clean up, before CTest's own time-out
# (tests/CMakeLists.txt) would kill it without giving it the chance.
budget=900

# One line per path under the root, path and type, without crossing into the
# mounted proc and devpts. Left out: what apt and dpkg change whenever they
# install anything at all (apt's cache, lists and logs, dpkg's log and backup
# copies), the home and runtime folders of the user who ran the demo,
# where the libraries keep their caches (purging a package never touches a
# user's home), and what adding any system user changes (the account files'
# backup copies, adduser's lock in /run): the package's system user stays
# after a purge, as Debian keeps system users, which is checked on its own.
snapshot() {
    (cd "$root" && find . -xdev \( -path ./var/cache/apt -o -path ./var/lib/apt -o -path ./var/log/apt \
        -o -path ./root -o -path ./run/user/0 \) -prune \
        -o ! -path './var/lib/dpkg/*-old' ! -path ./var/log/dpkg.log ! -path ./var/log/alternatives.log \
        ! -regex './etc/\(passwd\|group\|shadow\|gshadow\)-' ! -path ./run/adduser \
        -printf '%p %y\n') | LC_ALL=C sort
}

root_env=(/usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive)
in_root() {
    chroot "$root" "${root_env[@]}" "$@"
}

# Runs a step, its output in $work/<name>.log, which is shown when it fails.
step() {
    local name="$1" started=$SECONDS
    shift
    if ! "$@" >"$work/$name.log" 2>&1; then
        tail -n 40 "$work/$name.log" >&2
        fail "$name failed: $*"
    fi
    echo "$name: $((SECONDS - started)) s"
}

installed_packages() {
    in_root dpkg-query -W -f='${db:Status-Status} ${Package}\n' | awk '$1 == "installed" { print $2 }' | LC_ALL=C sort
}

# The part inside the namespaces: PID 1 of its own PID namespace.
in_namespace() {
    work="$1" cache="$2" deb="$3" mirror="$4" release="$5"
    root="$work/root"
    [ "$$" -eq 1 ] || fail "not in a PID namespace of its own; refusing to mount"

    local include=()
    # A minimal root has no certificates: apt inside it needs them for https.
    [[ "$mirror" == https:* ]] && include=(--include=ca-certificates)
    mkdir -p "$cache/debootstrap" "$cache/apt/partial" "$root"
    # The root lives in memory: dpkg syncs every file it unpacks, which on a
    # disk shared with other work costs minutes. The mount ends with the namespace.
    mount -t tmpfs -o size=4G,mode=0755 tmpfs "$root"
    step debootstrap debootstrap --variant=minbase "${include[@]}" --cache-dir="$cache/debootstrap" \
        "$release" "$root" "$mirror"

    mount -t proc proc "$root/proc"
    # A terminal instance of the root's own for the demo's virtual controller.
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
    [ -L "$root/dev/ptmx" ] || mount --bind "$root/dev/pts/ptmx" "$root/dev/ptmx"
    mount --bind "$cache/apt" "$root/var/cache/apt/archives"
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    mkdir -p -m 0700 "$root/run/user/0"
    local deb_name
    deb_name="$(basename "$deb")"
    cp "$deb" "$root/tmp/$deb_name"

    step apt-update in_root apt-get update
    local depends
    depends="$(dpkg-deb -f "$deb" Depends)"
    step depends in_root apt-get satisfy -y --no-install-recommends "$depends"

    local packages_before
    snapshot >"$work/before"
    packages_before="$(installed_packages)"
    step install in_root apt-get install -y --no-install-recommends "/tmp/$deb_name"
    local added
    added="$(comm -13 <(echo "$packages_before") <(installed_packages))"
    [ "$added" = vortanix ] || fail "installing the package added other packages than vortanix: $added"

    run_demo
    # The bridge runs on its Depends and its sample configuration checks; its
    # unit is enabled (as the package's own scripts would), and the purge
    # must undo that too.
    step bridge-check in_root vortanix-bridge --check --config /etc/vortanix/bridge.ini
    # Its service's user, made by the package, is in group dialout and reads
    # the configuration and a password file of its own, as the unit runs it.
    in_root id -nG vortanix-bridge | grep -qw dialout || fail "the package made no user vortanix-bridge in dialout"
    echo secret >"$root/etc/vortanix/mqtt-password"
    in_root chown vortanix-bridge: /etc/vortanix/mqtt-password
    chmod 600 "$root/etc/vortanix/mqtt-password"
    step bridge-check-as-its-user in_root setpriv --reuid vortanix-bridge --regid vortanix-bridge --init-groups \
        vortanix-bridge --check --config /etc/vortanix/bridge.ini --username plant \
        --password-file /etc/vortanix/mqtt-password
    grep -q 'warning' "$work/bridge-check-as-its-user.log" && fail "the check warned: $(cat "$work/bridge-check-as-its-user.log")"
    rm "$root/etc/vortanix/mqtt-password"
    step bridge-enable in_root env DPKG_MAINTSCRIPT_PACKAGE=vortanix deb-systemd-helper enable vortanix-bridge.service
    [ -L "$root/etc/systemd/system/multi-user.target.wants/vortanix-bridge.service" ] \
        || fail "enabling vortanix-bridge.service made no link"

    in_root dpkg -L vortanix >"$work/files" || fail "dpkg -L vortanix failed"
    step purge in_root apt-get purge -y vortanix
    local status
    status="$(in_root dpkg-query -W -f='${db:Status-Status}' vortanix 2>/dev/null || true)"
    [ -z "$status" ] || [ "$status" = not-installed ] || fail "after the purge dpkg has vortanix as '$status'"
    [ "$(in_root getent passwd vortanix-bridge | cut -d: -f7)" = /usr/sbin/nologin ] \
        || fail "after the purge the system user vortanix-bridge is not kept, without a login shell"
    snapshot >"$work/after"
    if ! diff -U0 "$work/before" "$work/after" >"$work/left"; then
        cat "$work/left" >&2
        fail "the root after the purge differs from the root before the install (+ is left over, - went missing)"
    fi
    echo "PASS: $deb_name installed with its Depends in a fresh Debian $release root, vortanix-demo ran," \
        "the purge left none of its $(grep -c . "$work/files") paths behind"
}

demo_failed() {
    cat "$work/demo.log" >&2
    fail "$*"
}

# vortanix-demo in the root, headless: its controller comes up, the window
# stays up for a few seconds and its controller answers a third-party Modbus
# master and vortanix-ctl; SIGTERM ends it with status 0 and its private
# folder is gone.
run_demo() {
    local started=$SECONDS pid line terminal
    chroot "$root" "${root_env[@]}" XDG_RUNTIME_DIR=/run/user/0 QT_QPA_PLATFORM=offscreen vortanix-demo \
        >"$work/demo.log" 2>&1 &
    pid=$!
    for _ in $(seq 1 1200); do
        line="$(grep -m 1 'virtual controller, address' "$work/demo.log" || true)"
        [ -n "$line" ] && break
        kill -0 "$pid" 2>/dev/null || demo_failed "vortanix-demo ended before its controller came up"
        sleep 0.1
    done
    [ -n "$line" ] || demo_failed "vortanix-demo did not report its controller within 120 s"
    terminal="$(sed -n 's|.* on \(/dev/pts/[0-9]*\) .*|\1|p' <<<"$line")"
    [ -n "$terminal" ] || demo_failed "no terminal in: $line"

    # The window runs for a few seconds: that is what is tested, not a wait for something.
    sleep 3
    kill -0 "$pid" 2>/dev/null || demo_failed "vortanix-demo ended within 3 s of starting"
    local reply
    reply="$(mbpoll -m rtu -b 115200 -P none -d 8 -s 1 -a 1 -t 4 -0 -r 5 -c 1 -1 -o 2 "$root$terminal" 2>&1)" \
        || demo_failed "the demo's controller on $terminal did not answer: $reply"
    grep -qE '^\[5\]:[[:space:]]+1$' <<<"$reply" || demo_failed "the demo's controller reports no address 1: $reply"
    # The package's command-line program reads it too, with the libraries of the root.
    local reading
    reading="$(in_root vortanix-ctl --port "$terminal" --timeout 2000 --json status 2>&1)" \
        || demo_failed "vortanix-ctl could not read the demo's controller on $terminal: $reading"
    grep -q '"address":1,' <<<"$reading" || demo_failed "vortanix-ctl reads no address 1: $reading"

    kill -TERM "$pid"
    for _ in $(seq 1 600); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && demo_failed "vortanix-demo still runs 60 s after SIGTERM"
    local status=0
    wait "$pid" || status=$?
    [ "$status" -eq 0 ] || demo_failed "vortanix-demo exited with status $status after SIGTERM"
    if compgen -G "$root/tmp/vortanix-demo-*" >/dev/null; then
        demo_failed "vortanix-demo left its folder behind: $(compgen -G "$root/tmp/vortanix-demo-*")"
    fi
    echo "demo: $((SECONDS - started)) s"
}

# The first URI of the apt sources that serves $release's main (deb822 and one-line forms).
debian_mirror() {
    local files=() file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] && files+=("$file")
    done
    [ "${#files[@]}" -gt 0 ] || return 0
    {
        for file in "${files[@]}"; do
            if [[ "$file" == *.sources ]]; then
                awk -v RS= '
                    {
                        types = uris = suites = components = ""; enabled = "yes"
                        n = split($0, lines, "\n")
                        for (i = 1; i <= n; i++) {
                            line = lines[i]
                            if (line ~ /^Types:/) types = " " line " "
                            else if (line ~ /^URIs:/) uris = line
                            else if (line ~ /^Suites:/) suites = " " line " "
                            else if (line ~ /^Components:/) components = " " line " "
                            else if (line ~ /^Enabled:/) enabled = line
                        }
                        if (enabled !~ /no/ && types ~ /[ \t]deb[ \t]/ && suites ~ ("[ \t]" release "[ \t]") \
                            && components ~ /[ \t]main[ \t]/) {
                            split(uris, words, /[ \t]+/)
                            print words[2]
                        }
                    }' release="$release" "$file"
            else
                awk '$1 == "deb" {
                        i = 2
                        if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
                        if ($(i + 1) == release)
                            for (j = i + 2; j <= NF; j++) if ($j == "main") { print $i; break }
                    }' release="$release" "$file"
            fi
        done
    } | head -n 1
}

if [ "${1:-}" = --in-namespace ]; then
    shift
    in_namespace "$@"
    exit 0
fi

build="$(cd "${1:?usage: test_package_install.sh <build folder>}" && pwd)"
[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, chroot and mounts)"
need_tools debootstrap unshare chroot timeout flock mbpoll

# Private mount namespaces are what keeps the root's mounts from outliving the
# test. Where none can be made, the test cannot run and says so; CTest counts
# it as skipped (SKIP_RETURN_CODE in tests/CMakeLists.txt), not as passed. In a
# plain chroot, for one, / is not a mount point and its propagation cannot change.
if ! probe="$(unshare --mount --propagation private true 2>&1)"; then
    echo "SKIPPED: no private mount namespace can be made here ($probe)." >&2
    echo "SKIPPED: run this test on the machine itself, or in a container whose / is a mount point." >&2
    exit 77
fi

cache="$build/package-cache"
mkdir -p "$cache"
# One run per build folder at a time: the cache and the leftovers below are shared.
exec 9>"$cache/lock"
flock -w 1200 9 || fail "another run of this test has held $cache/lock for 20 minutes"
# Roots left by a run that was killed outright; their namespaces died with it,
# so nothing is mounted in them any more.
for stale in "$build"/package-install.*; do
    [ -d "$stale" ] && rm -rf --one-file-system "$stale"
done

work="$(mktemp -d "$build/package-install.XXXXXX")"
child=""
cleanup() {
    if [ -n "$child" ]; then
        kill -TERM "$child" 2>/dev/null || true
        wait "$child" 2>/dev/null || true
    fi
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
trap 'exit 129' HUP

build_deb

# The root is of this machine's release: the package's programs need its libraries.
release="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
case "$release" in
    bookworm | trixie) ;;
    *) fail "Debian 12 (bookworm) or 13 (trixie) expected, this machine is '${release:-unknown}'" ;;
esac
mirror="${VORTANIX_DEBIAN_MIRROR:-$(debian_mirror)}"
mirror="${mirror:-http://deb.debian.org/debian}"
echo "mirror: $mirror"

started=$SECONDS
# In the background, so that a signal to this shell is handled at once.
timeout -k 15 "$budget" unshare --mount --pid --fork --propagation private --kill-child=KILL \
    bash "$0" --in-namespace "$work" "$cache" "$deb" "$mirror" "$release" &
child=$!
status=0
wait "$child" || status=$?
child=""
[ "$status" -ne 124 ] || fail "the test took longer than $budget s"
[ "$status" -eq 0 ] || exit "$status"
echo "total: $((SECONDS - started)) s"
