#!/usr/bin/env bash
# Runs tools/memcheck_workload.py under valgrind memcheck against the package
# installed in .venv (or $PYTHON), with Python's own allocator bypassed so that
# every block is checked, and fails when the log reports an invalid read or
# write or a use of uninitialised memory.
#   tools/valgrind_memcheck.sh [rounds]     (log: build/valgrind-memcheck.log)
# Slow (valgrind runs the whole interpreter): about a minute for the default.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${PYTHON:-$root/.venv/bin/python}"
log="${LOG:-$root/build/valgrind-memcheck.log}"
rounds="${1:-10}"
command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 2; }
mkdir -p "$(dirname "$log")"

PYTHONMALLOC=malloc PYTHONPATH="$root/host_contracts" \
    valgrind --tool=memcheck --track-origins=yes --num-callers=40 \
    --log-file="$log" "$python" "$root/tools/memcheck_workload.py" "$rounds"

summary="$(grep -E "ERROR SUMMARY" "$log" | tail -1)"
bad="$(grep -cE "Invalid read|Invalid write|uninitialised" "$log" || true)"
ours="$(grep -c "vantor_lacet" "$log" || true)"
echo "valgrind: ${summary#==*== }"
echo "valgrind: $bad invalid read/write or uninitialised-value reports; $ours log lines name vantor_lacet; log: $log"
if [ "$bad" -gt 0 ]; then
    grep -E -A20 "Invalid read|Invalid write|uninitialised" "$log" | head -120
    exit 1
fi
