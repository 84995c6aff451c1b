#!/usr/bin/env bash
# tools/sid_root.sh: prints the path of a Debian unstable root that holds
# CPython 3.14 and 3.15 with their headers, building it the first time.
#
# This machine's Debian (bookworm) has no 3.14 or 3.15; Debian's unstable
# suite has both, from the mirror apt already uses. The root is made once
# with debootstrap (about two minutes and 1.4 GB) and kept outside the
# checkout, in $VANTOR_LACET_SID_ROOT or ~/.cache/vantor_lacet/sid-root, so
# every checkout and every CI run on the machine shares it. Building it
# needs root (debootstrap and chroot do). tools/in_sid_root.sh runs a
# command inside it.
set -euo pipefail
. "$(dirname "$(readlink -f "$0")")/root_common.sh"

root=${VANTOR_LACET_SID_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/vantor_lacet/sid-root}
# Bump when the package list changes, so that an older root is rebuilt.
stamp_want="v1"
packages=(python3.14-dev python3.14-venv python3.15-dev python3.15-venv
          g++ make cmake ninja-build valgrind ca-certificates git
          libpq5 postgresql)

if root_ready "$root" "$stamp_want"; then
    echo "$root"
    exit 0
fi

[ "$(id -u)" -eq 0 ] || root_fail "building the Debian unstable root for CPython 3.14/3.15 needs root (debootstrap, chroot); run this once as root: $0"

# One build at a time: a second caller waits for the first and then finds
# the root ready.
mkdir -p "$(dirname "$root")"
exec 9> "$root.lock"
flock 9
if root_ready "$root" "$stamp_want"; then
    echo "$root"
    exit 0
fi

mirror=$(root_mirror)
root_need_debootstrap "sid root"
echo "sid root: building $root from $mirror (about two minutes, once)" >&2
root_debootstrap "$root.building" "$(IFS=,; echo "${packages[*]}")" sid "$mirror" debootstrap
root_finish "$root.building" "$root" "$stamp_want"
echo "$root"
