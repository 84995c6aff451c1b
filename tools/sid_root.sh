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

root=${VANTOR_LACET_SID_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/vantor_lacet/sid-root}
# Bump when the package list changes, so that an older root is rebuilt.
stamp_want="v1"
packages=(python3.14-dev python3.14-venv python3.15-dev python3.15-venv
          g++ make cmake ninja-build valgrind ca-certificates git
          libpq5 postgresql)

if [ -f "$root/.vantor-lacet-ready" ] && [ "$(cat "$root/.vantor-lacet-ready")" = "$stamp_want" ]; then
    echo "$root"
    exit 0
fi

fail() { echo "error: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "building the Debian unstable root for CPython 3.14/3.15 needs root (debootstrap, chroot); run this once as root: $0"

# One build at a time: a second caller waits for the first and then finds
# the root ready.
mkdir -p "$(dirname "$root")"
exec 9> "$root.lock"
flock 9
if [ -f "$root/.vantor-lacet-ready" ] && [ "$(cat "$root/.vantor-lacet-ready")" = "$stamp_want" ]; then
    echo "$root"
    exit 0
fi

# The mirror apt already uses (deb822 sources first, then the one-line form).
mirror=$(grep -h -m1 -E '^URIs: .*/debian/?$' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' || true)
[ -n "$mirror" ] || mirror=$(grep -h -m1 -E '^deb [^ ]+/debian/? ' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' || true)
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian

if ! command -v debootstrap >/dev/null; then
    echo "sid root: installing debootstrap" >&2
    apt-get update -qq >&2 && apt-get install -y -qq debootstrap >&2
fi

echo "sid root: building $root from $mirror (about two minutes, once)" >&2
building="$root.building"
rm -rf "$building"
debootstrap --variant=minbase --include="$(IFS=,; echo "${packages[*]}")" \
    sid "$building" "$mirror" > "$building.log" 2>&1 \
    || { tail -n 30 "$building.log" >&2; fail "debootstrap failed (log: $building.log)"; }

# pip inside the root reaches the package index through the machine's CA
# bundle and resolver; the interpreters there must not be refused by
# Debian's "externally managed" marker inside the project's own venvs
# (it only applies to the system interpreters, which are never installed
# into).
cp /etc/resolv.conf "$building/etc/resolv.conf"
ca=${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}
mkdir -p "$building/etc/ssl/certs"
cp "$ca" "$building/etc/ssl/certs/host-ca-bundle.crt"
# The checkout is bound at the same path inside the root.
mkdir -p "$building/work"
echo "$stamp_want" > "$building/.vantor-lacet-ready"
rm -rf "$root"
mv "$building" "$root"
echo "$root"
