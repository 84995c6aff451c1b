# tools/root_common.sh: what the Debian roots of tools/sid_root.sh and
# tools/arm64_root.sh share, and how tools/in_sid_root.sh and
# tools/in_arm64_root.sh run a command in one. Sourced, never run.

root_fail() { echo "error: $*" >&2; exit 1; }

# root_ready ROOT STAMP: the root is complete and of the wanted version.
root_ready() { [ -f "$1/.vantor-lacet-ready" ] && [ "$(cat "$1/.vantor-lacet-ready")" = "$2" ]; }

# root_mirror: the mirror apt already uses (deb822 sources first, then the
# one-line form), else Debian's own.
root_mirror() {
    local mirror
    mirror=$(grep -h -m1 -E '^URIs: .*/debian/?$' /etc/apt/sources.list.d/*.sources 2>/dev/null \
                 | awk '{print $2}' || true)
    [ -n "$mirror" ] || mirror=$(grep -h -m1 -E '^deb [^ ]+/debian/? ' /etc/apt/sources.list 2>/dev/null \
                                     | awk '{print $2}' || true)
    echo "${mirror:-http://deb.debian.org/debian}"
}

# root_need_debootstrap LABEL: installs debootstrap when missing.
root_need_debootstrap() {
    if ! command -v debootstrap >/dev/null; then
        echo "$1: installing debootstrap" >&2
        apt-get update -qq >&2 && apt-get install -y -qq debootstrap >&2
    fi
}

# root_debootstrap BUILDING PACKAGES SUITE MIRROR DEBOOTSTRAP...: a minimal
# root of SUITE with PACKAGES (comma-separated) in BUILDING, made by the
# command DEBOOTSTRAP... (debootstrap and its options); the log goes beside
# it.
root_debootstrap() {
    local building=$1 packages=$2 suite=$3 mirror=$4
    shift 4
    rm -rf "$building"
    "$@" --variant=minbase --include="$packages" "$suite" "$building" "$mirror" \
        > "$building.log" 2>&1 \
        || { tail -n 30 "$building.log" >&2; root_fail "debootstrap failed (log: $building.log)"; }
}

# root_finish BUILDING ROOT STAMP: pip inside the root reaches the package
# index through the machine's CA bundle and resolver; the checkout is bound
# at its own path (under /work). Then the root is stamped and put in place,
# so that a root interrupted while building is never taken for ready.
root_finish() {
    local building=$1 root=$2 stamp=$3 ca=${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}
    cp /etc/resolv.conf "$building/etc/resolv.conf"
    mkdir -p "$building/etc/ssl/certs"
    cp "$ca" "$building/etc/ssl/certs/host-ca-bundle.crt"
    mkdir -p "$building/work"
    echo "$stamp" > "$building/.vantor-lacet-ready"
    rm -rf "$root"
    mv "$building" "$root"
}

# root_exec ROOT MARKER NAME... -- COMMAND...: runs COMMAND in ROOT, in the
# current directory, which is bound at the same path. Bound into the root:
# /proc, /dev (with /dev/shm for multiprocessing), the current directory
# and the machine's resolver (it may change between runs). The mounts live
# in a mount namespace of their own (unshare), so they go away with the
# command and runs side by side do not see each other's. The command sees
# a plain environment with MARKER=1 (how the project's scripts know where
# they run) and each variable NAME that is set here. Does not return.
root_exec() {
    local root=$1 marker=$2 cwd
    shift 2
    local pass=()
    while [ "$1" != -- ]; do
        [ -n "${!1+x}" ] && pass+=("$1=${!1}")
        shift
    done
    shift
    cwd=$(pwd -P)
    exec unshare --mount --propagation private -- bash -euo pipefail -c '
root=$1; cwd=$2; marker=$3; shift 3
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mkdir -p "$root$cwd"
mount --bind "$cwd" "$root$cwd"
cp /etc/resolv.conf "$root/etc/resolv.conf"
exec chroot "$root" /usr/bin/env -i \
    HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 "$marker=1" \
    PIP_CERT=/etc/ssl/certs/host-ca-bundle.crt SSL_CERT_FILE=/etc/ssl/certs/host-ca-bundle.crt \
    PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=180 \
    "${@}"
' bash "$root" "$cwd" "$marker" "${pass[@]}" bash -c 'cd "$1" && shift && exec "$@"' bash "$cwd" "$@"
}
