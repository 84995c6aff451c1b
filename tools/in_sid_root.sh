#!/usr/bin/env bash
# tools/in_sid_root.sh COMMAND...: runs COMMAND inside the Debian unstable
# root that holds CPython 3.14 and 3.15 (tools/sid_root.sh builds it the
# first time), in the current directory, which is bound at the same path.
#
# The mounts live in a mount namespace of their own (unshare), so they go
# away with the command and runs side by side do not see each other's.
# Needs root, as chroot does.
set -euo pipefail

[ "$#" -gt 0 ] || { echo "usage: $0 COMMAND..." >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "error: running in the Debian unstable root (CPython 3.14/3.15) needs root (chroot)" >&2; exit 1; }
here=$(dirname "$(readlink -f "$0")")
root=$("$here/sid_root.sh")
cwd=$(pwd -P)

# Bound into the root: /proc, /dev (with /dev/shm for multiprocessing), the
# current directory at its own path, and the machine's resolver (it may
# change between runs). The command sees a plain environment, with the
# variables the project's scripts read passed through.
pass=()
for v in TERM PY VANTOR_LACET_WERROR VANTOR_LACET_SANITIZE PROPERTY_EXAMPLES BENCH_ARGS CALLGRIND_ARGS \
         LACET_DIFF_IMPLS LACET_PROPERTY_EXAMPLES LACET_SANITIZED LACET_SEED \
         PYTEST_ADDOPTS; do
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
    LANG=C.UTF-8 VANTOR_LACET_IN_SID_ROOT=1 \
    PIP_CERT=/etc/ssl/certs/host-ca-bundle.crt SSL_CERT_FILE=/etc/ssl/certs/host-ca-bundle.crt \
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 \
    "${@}"
' bash "$root" "$cwd" "${pass[@]}" bash -c 'cd "$1" && shift && exec "$@"' bash "$cwd" "$@"
