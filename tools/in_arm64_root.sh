#!/usr/bin/env bash
# tools/in_arm64_root.sh VERSION COMMAND...: runs COMMAND, under emulation,
# inside the Debian arm64 root that holds CPython VERSION (3.13, 3.14 or
# 3.15; tools/arm64_root.sh builds it the first time), in the current
# directory, which is bound at the same path.
#
# As tools/in_sid_root.sh does for the x86_64 root: the mounts live in a
# mount namespace of their own, and the command sees a plain environment.
# Everything in the root runs through qemu, about ten times slower than
# natively: the root is for testing the aarch64 wheels, not for building.
# Needs root, as chroot does.
set -euo pipefail

[ "$#" -gt 1 ] || { echo "usage: $0 3.13|3.14|3.15 COMMAND..." >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "error: running in the arm64 root needs root (chroot)" >&2; exit 1; }
here=$(dirname "$(readlink -f "$0")")
. "$here/root_common.sh"
root=$("$here/arm64_root.sh" "$1")
shift

root_exec "$root" VANTOR_LACET_IN_ARM64_ROOT \
    TERM LACET_DIFF_IMPLS LACET_PROPERTY_EXAMPLES LACET_SEED PYTEST_ADDOPTS \
    -- "$@"
