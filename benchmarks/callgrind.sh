#!/usr/bin/env bash
# Instructions per ingest for the native package and the model on the thin
# host (workload 1: 8 candidates per search, endpoints at the cap).
#
#   benchmarks/callgrind.sh [N] [BATCH]
#
# Uses `perf stat -e instructions` when the machine exposes the counter, and
# valgrind's callgrind otherwise. Each implementation is run twice: with N
# ingests and with 0 (set-up only); the difference divided by N is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
N=${1:-2000}
BATCH=${2:-0}
PY=${PYTHON:-.venv/bin/python}
DRIVER=benchmarks/ingest_driver.py
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
export PYTHONHASHSEED=0

if perf stat -x, -e instructions true 2>&1 >/dev/null | grep -q '^[0-9]'; then
    TOOL=perf
    count() {  # impl n -> instructions
        perf stat -x, -e instructions -o "$OUT/perf" "$PY" "$DRIVER" "$1" "$2" --stream "$N" --batch "$BATCH" 2>/dev/null
        cut -d, -f1 "$OUT/perf" | grep -E '^[0-9]+$' | head -1
    }
else
    TOOL=callgrind
    count() {
        valgrind --tool=callgrind --callgrind-out-file="$OUT/cg.$1.$2" \
            "$PY" "$DRIVER" "$1" "$2" --stream "$N" --batch "$BATCH" 2>"$OUT/log" >/dev/null
        grep -E '^(summary|totals):' "$OUT/cg.$1.$2" | head -1 | awk '{print $2}'
    }
fi

echo "instruction counts with $TOOL, $N ingests$([ "$BATCH" != 0 ] && echo " in batches of $BATCH") on the thin host"
declare -A PER
for impl in native model; do
    base=$(count "$impl" 0)
    full=$(count "$impl" "$N")
    PER[$impl]=$(( (full - base) / N ))
    printf '%-7s %14d total  %14d baseline  %10d instructions per ingest\n' "$impl" "$full" "$base" "${PER[$impl]}"
done
awk -v m="${PER[model]}" -v n="${PER[native]}" 'BEGIN { printf "model / native: %.2fx\n", m / n }'
