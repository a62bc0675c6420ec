#!/usr/bin/env bash
# The README's two commands on a fresh Debian machine: debootstraps a minimal
# root (variant minbase: bash and apt, nothing of ours), copies this source
# tree into it without build folders, and runs `bash scripts/run.sh` (which
# must build, then exit 1 explaining that there is no display) and
# `bash scripts/test.sh` in it, as a new user would. Prints a summary; the
# full output of each command stays in the log folder it names.
# Not part of CI: a run takes 35 minutes and more on two cores.
# Usage: scripts/fresh-check.sh bookworm|trixie [work folder]
#   VORTANIX_DEBIAN_MIRROR names another mirror (default deb.debian.org).
#   VORTANIX_FRESH_CACHE keeps the downloaded packages between runs (default
#   /var/cache/vortanix-fresh-check/<release>); debootstrap and apt check each
#   against the archive's signed indexes, so the root is as fresh as without.
# Needs root (debootstrap, chroot, mounts), debootstrap and the release's keyring.
set -euo pipefail

release="${1:-}"
case "$release" in
    bookworm | trixie) ;;
    *)
        echo "usage: fresh-check.sh bookworm|trixie [work folder]" >&2
        exit 2
        ;;
esac
[ "$(id -u)" -eq 0 ] || { echo "fresh-check: needs root (debootstrap, chroot, mounts)" >&2; exit 1; }
command -v debootstrap >/dev/null 2>&1 || { echo "fresh-check: apt-get install debootstrap" >&2; exit 1; }
[ -f "/usr/share/keyrings/debian-archive-$release-stable.gpg" ] \
    || [ -f /usr/share/keyrings/debian-archive-keyring.gpg ] \
    || { echo "fresh-check: no keyring for $release (apt-get install debian-archive-keyring)" >&2; exit 1; }

source_tree="$(cd "$(dirname "$0")/.." && pwd)"
mirror="${VORTANIX_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
work="${2:-$(mktemp -d "/var/tmp/vortanix-fresh-$release.XXXXXX")}"
mkdir -p "$work"
work="$(cd "$work" && pwd)"
root="$work/root"
logs="$work/logs"
mkdir -p "$logs"
cache="${VORTANIX_FRESH_CACHE:-/var/cache/vortanix-fresh-check/$release}"
mkdir -p "$cache/debootstrap" "$cache/apt/partial"
cache="$(cd "$cache" && pwd)"

mounted=()
cleanup() {
    local i
    # Innermost first; a busy mount is detached lazily rather than left behind.
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -R "${mounted[$i]}" 2>/dev/null || umount -R -l "${mounted[$i]}" 2>/dev/null || true
    done
    mounted=()
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
trap 'exit 129' HUP

mount_in_root() {
    local target="$root$1"
    shift
    mkdir -p "$target"
    mount "$@" "$target"
    mounted+=("$target")
}

started=$SECONDS
echo "fresh-check: $release root in $root (logs in $logs)"
if [ ! -x "$root/usr/bin/apt-get" ]; then
    debootstrap --variant=minbase --cache-dir="$cache/debootstrap" "$release" "$root" "$mirror" >"$logs/debootstrap.log" 2>&1 \
        || { tail -n 30 "$logs/debootstrap.log" >&2; echo "fresh-check: debootstrap failed" >&2; exit 1; }
fi
echo "debootstrap: $((SECONDS - started)) s"

# The tree as a checkout has it: tracked and new files, no build folders, no .git.
rm -rf "$root/src"
mkdir -p "$root/src"
if git -C "$source_tree" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$source_tree" && git ls-files -z --cached --others --exclude-standard \
        | grep -zv "^build" | tar --null --no-recursion --ignore-failed-read -cf - -T -) | tar -xf - -C "$root/src"
else
    tar -cf - -C "$source_tree" --exclude='./build*' . | tar -xf - -C "$root/src"
fi

cp -L /etc/resolv.conf "$root/etc/resolv.conf"
mount_in_root /proc -t proc proc
mount_in_root /sys -t sysfs sysfs
# /dev with its pseudo-terminals and /dev/shm; slave, so that nothing
# unmounted in the root is unmounted on this machine.
mount_in_root /dev --rbind /dev
mount --make-rslave "$root/dev"
mount_in_root /tmp -t tmpfs -o mode=1777 tmpfs
mount_in_root /var/cache/apt/archives --bind "$cache/apt"

in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TERM=dumb \
        bash -c "cd /src && $1"
}

run_status=0
step_started=$SECONDS
in_root "bash scripts/run.sh" >"$logs/run.log" 2>&1 || run_status=$?
run_seconds=$((SECONDS - step_started))
if [ "$run_status" -eq 1 ] && grep -q 'no display' "$logs/run.log"; then
    run_result="as expected: built, then exit 1 explaining there is no display ($run_seconds s)"
else
    run_result="UNEXPECTED: exit $run_status ($run_seconds s); see $logs/run.log"
fi

test_status=0
step_started=$SECONDS
in_root "bash scripts/test.sh" >"$logs/test.log" 2>&1 || test_status=$?
test_seconds=$((SECONDS - step_started))
cleanup

echo "== fresh-check $release: summary"
echo "scripts/run.sh:  $run_result"
echo "scripts/test.sh: exit $test_status after $((test_seconds / 60)) min $((test_seconds % 60)) s"
# One line per stage of test.sh and CTest's verdict for it.
grep -E '^== |tests passed|tests failed|Not Run|\*\*\*Skipped|\*\*\*Failed|Timeout' "$logs/test.log" | sed 's/^/  /' || true
echo "total: $(((SECONDS - started) / 60)) min; logs and root in $work (remove with rm -rf --one-file-system)"
[ "$test_status" -eq 0 ] && [[ "$run_result" == "as expected"* ]]
