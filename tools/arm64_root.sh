#!/usr/bin/env bash
# tools/arm64_root.sh VERSION (3.13, 3.14 or 3.15): prints the path of a
# Debian arm64 root that holds that CPython with its headers, building it
# the first time. The aarch64 wheels take their headers from it and are
# installed and tested in it, under emulation (tools/in_arm64_root.sh).
#
# Debian's stable suite (trixie) has arm64 3.13, its unstable suite 3.14
# and 3.15; no Debian suite has an arm64 3.12. A root is made once with
# debootstrap --arch=arm64 through qemu-user-static (a few minutes) and
# kept outside the checkout, in $VANTOR_LACET_ARM64_ROOTS or
# ~/.cache/vantor_lacet/, as arm64-trixie-root and arm64-sid-root, so every
# checkout and CI run on the machine shares them. Building one needs root.
set -euo pipefail
. "$(dirname "$(readlink -f "$0")")/root_common.sh"

case "${1:-}" in
    3.13) suite=trixie ;;
    3.14|3.15) suite=sid ;;
    *) echo "usage: $0 3.13|3.14|3.15 (no Debian suite has an arm64 CPython 3.12)" >&2; exit 2 ;;
esac
roots=${VANTOR_LACET_ARM64_ROOTS:-${XDG_CACHE_HOME:-$HOME/.cache}/vantor_lacet}
root=$roots/arm64-$suite-root
# Bump when the package list changes, so that an older root is rebuilt.
stamp_want="v1"
case "$suite" in
    trixie) packages=(python3.13-dev python3.13-venv) ;;
    sid) packages=(python3.14-dev python3.14-venv python3.15-dev python3.15-venv) ;;
esac
packages+=(ca-certificates)

ready() { root_ready "$root" "$stamp_want"; }
fail() { root_fail "$@"; }

# Emulation: arm64 programs run through qemu-user-static, registered with
# binfmt_misc. The handler is "fix binary" (F), so the root needs no copy of
# qemu. Debian's service that registers it does not start in every
# container, so this does its work when needed; it is also what running in
# an existing root needs.
enable_emulation() {
    if ! [ -x /usr/bin/qemu-aarch64-static ]; then
        [ "$(id -u)" -eq 0 ] || fail "running arm64 programs needs qemu-user-static; as root: apt-get install qemu-user-static binfmt-support"
        echo "arm64 root: installing qemu-user-static" >&2
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
              qemu-user-static binfmt-support; } >&2
    fi
    [ -e /proc/sys/fs/binfmt_misc/status ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    [ "$(cat /proc/sys/fs/binfmt_misc/qemu-aarch64 2>/dev/null | head -n1)" = enabled ] \
        || update-binfmts --enable qemu-aarch64 >&2
    [ "$(cat /proc/sys/fs/binfmt_misc/qemu-aarch64 2>/dev/null | head -n1)" = enabled ] \
        || fail "could not register qemu-aarch64 with binfmt_misc"
}

if ready; then
    enable_emulation
    echo "$root"
    exit 0
fi

[ "$(id -u)" -eq 0 ] || fail "building the arm64 root for CPython $1 needs root (debootstrap, chroot); run this once as root: $0 $1"
enable_emulation

# One build at a time: a second caller waits for the first and then finds
# the root ready.
mkdir -p "$roots"
exec 9> "$root.lock"
flock 9
if ready; then
    echo "$root"
    exit 0
fi

mirror=$(root_mirror)
root_need_debootstrap "arm64 root"
echo "arm64 root: building $root ($suite) from $mirror (a few minutes under emulation, once)" >&2
root_debootstrap "$root.building" "$(IFS=,; echo "${packages[*]}")" "$suite" "$mirror" \
    nice debootstrap --arch=arm64
root_finish "$root.building" "$root" "$stamp_want"
echo "$root"
