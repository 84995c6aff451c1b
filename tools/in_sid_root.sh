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
. "$here/root_common.sh"
root=$("$here/sid_root.sh")

# The command sees a plain environment, with the variables the project's
# scripts read passed through.
root_exec "$root" VANTOR_LACET_IN_SID_ROOT \
    TERM PY VANTOR_LACET_WERROR VANTOR_LACET_SANITIZE PROPERTY_EXAMPLES BENCH_ARGS CALLGRIND_ARGS \
    LACET_DIFF_IMPLS LACET_PROPERTY_EXAMPLES LACET_SANITIZED LACET_SEED PYTEST_ADDOPTS \
    -- "$@"
