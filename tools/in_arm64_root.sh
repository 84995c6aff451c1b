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
root=$("$here/arm64_root.sh" "$1")
shift
cwd=$(pwd -P)

pass=()
for v in TERM LACET_DIFF_IMPLS LACET_PROPERTY_EXAMPLES LACET_SEED PYTEST_ADDOPTS; do
    [ -n "${!v+x}" ] && pass+=("$v=${!v}")
done

exec unshare --mount --propagation private -- bash -euo pipefail -c '
root=$1; cwd=$2; shift 2
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mkdir -p "$root$cwd"
mount --bind "$cwd" "$root$cwd"
cp /etc/resolv.conf "$root/etc/resolv.conf"
exec chroot "$root" /usr/bin/env -i \
    HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 VANTOR_LACET_IN_ARM64_ROOT=1 \
    PIP_CERT=/etc/ssl/certs/host-ca-bundle.crt SSL_CERT_FILE=/etc/ssl/certs/host-ca-bundle.crt \
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 \
    "${@}"
' bash "$root" "$cwd" "${pass[@]}" bash -c 'cd "$1" && shift && exec "$@"' bash "$cwd" "$@"
