"""Where the CPU goes per memory, by shared object, as memories accumulate.

Streams synthetic memories into the reference host as lacet_demo does (same
data, batches of 50, approximate search fed by the graph; no timing wrappers),
and over the last tenth before each mark samples the process with
`perf record -e cpu-clock`. The samples are counted per shared object: the
package's own native code, the Python interpreter (the host's Python code, and
the objects both sides create and free), the HNSW index, numpy, the kernel.
cpu-clock samples only while the process runs, so other processes on a shared
machine do not add to the figures (their effect on the caches does).

    .venv/bin/python demo/native_profile.py --synthetic 100000

With `--callgrind`, run under valgrind, it counts instructions instead of
sampling time, over the last `--window` memories before each mark (instruction
counts do not depend on the machine's load or caches):

    valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file=/tmp/cg.%p \
        .venv/bin/python demo/native_profile.py --synthetic 100000 --callgrind
"""
from __future__ import annotations

import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from collections import defaultdict
from pathlib import Path

if __name__ == "__main__":
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

sys.path.insert(0, str(Path(__file__).resolve().parent))
import lacet_demo  # noqa: E402,F401  (puts the reference host on sys.path)
import vantor_lacet  # noqa: E402
from lacet_demo import host  # noqa: E402
from lacet_demo.corpus import synthetic_corpus  # noqa: E402
from lacet_demo.stats import checkpoints  # noqa: E402

GROUPS = (("package (native)", ()), ("Python interpreter", ("libpython",)),
          ("HNSW index (usearch)", ("compiled.", "_numkong")), ("numpy", ("_multiarray", "openblas")),
          ("kernel", ("[kernel",)), ("other", ()))


def group_of(dso: str, package_file: str) -> str:
    if os.path.basename(dso).startswith(package_file):
        return GROUPS[0][0]
    for name, keys in GROUPS[1:-1]:
        if any(k in dso for k in keys):
            return name
    return GROUPS[-1][0]


def sampled(path: str, package_file: str) -> dict[str, float]:
    """CPU seconds per group in a perf.data file."""
    out = subprocess.run(["perf", "report", "-i", path, "--sort", "dso", "--stdio"],
                         capture_output=True, text=True, check=True).stdout
    total = re.search(r"Event count \(approx\.\): (\d+)", out)
    seconds = int(total.group(1)) * 1e-9 if total else 0.0  # cpu-clock counts nanoseconds
    groups: dict[str, float] = defaultdict(float)
    for line in out.splitlines():
        m = re.match(r"\s*([\d.]+)%\s+(.+?)\s*$", line)
        if m:
            groups[group_of(m.group(2), package_file)] += float(m.group(1)) / 100 * seconds
    return groups


class Callgrind:
    """Callgrind's client requests (valgrind/callgrind.h), through a helper built here."""

    SOURCE = """#include <valgrind/callgrind.h>
void window_start(void) { CALLGRIND_START_INSTRUMENTATION; CALLGRIND_ZERO_STATS; }
void window_end(const char *label) { CALLGRIND_DUMP_STATS_AT(label); CALLGRIND_STOP_INSTRUMENTATION; }
"""

    def __init__(self, tmp: str) -> None:
        import ctypes
        src, lib = os.path.join(tmp, "cg.c"), os.path.join(tmp, "cg.so")
        with open(src, "w") as fh:
            fh.write(self.SOURCE)
        subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", lib, src], check=True)
        self.lib = ctypes.CDLL(lib)
        self.lib.window_end.argtypes = [ctypes.c_char_p]

    def start(self) -> None:
        self.lib.window_start()

    def end(self, label: str) -> None:
        self.lib.window_end(label.encode())


def counted(out_file: str, package_file: str) -> dict[str, float]:
    """Instructions per group in a callgrind dump."""
    out = subprocess.run(["callgrind_annotate", "--threshold=100", "--inclusive=no", out_file],
                         capture_output=True, text=True, check=True).stdout
    groups: dict[str, float] = defaultdict(float)
    for line in out.splitlines():
        m = re.match(r"\s*([\d,]+)\s+(?:\([^)]*\)\s+)?\S.*\[([^\]]+)\]\s*$", line)
        if m:
            groups[group_of(m.group(2), package_file)] += int(m.group(1).replace(",", ""))
    return groups


def latest_dump() -> str:
    """The newest callgrind output file of this process."""
    import glob
    files = [f for f in glob.glob(f"/tmp/cg.{os.getpid()}*") if not f.endswith(".c")]
    files += glob.glob(f"callgrind.out.{os.getpid()}*")
    return max(files, key=os.path.getmtime)


def main(argv: list[str] | None = None) -> dict[int, dict[str, float]]:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--synthetic", type=int, default=100_000, metavar="N")
    p.add_argument("--marks", type=int, nargs="*", default=None,
                   help="sample the tenth before each of these (default: powers of ten and N)")
    p.add_argument("--callgrind", action="store_true",
                   help="count instructions (run under valgrind --tool=callgrind --instr-atstart=no)")
    p.add_argument("--window", type=int, default=500,
                   help="with --callgrind: memories counted before each mark")
    args = p.parse_args(argv)
    memories = synthetic_corpus(args.synthetic)
    marks = sorted(args.marks or checkpoints(args.synthetic))
    package_file = os.path.basename(vantor_lacet.__file__)

    made = host.make_host("approx")
    graph = made.graph
    ext = host.connect(graph, made.service, vantor_lacet.LacetConfig())
    results: dict[int, dict[str, float]] = {}
    perf = None
    window_start = window_mark = 0
    with tempfile.TemporaryDirectory() as tmp:
        grind = Callgrind(tmp) if args.callgrind else None

        def window(mark: int) -> int:
            return min(args.window, mark // 10) if grind else mark // 10

        for start in range(0, len(memories), 50):
            end = min(start + 50, len(memories))
            if perf is None:
                mark = next((m for m in marks if m - window(m) <= start < m and m not in results), None)
                if mark is not None:
                    window_start, window_mark = start, mark
                    if grind:
                        grind.start()
                        perf = grind
                    else:
                        path = os.path.join(tmp, f"{mark}.data")
                        perf = subprocess.Popen(["perf", "record", "-q", "-e", "cpu-clock", "-p",
                                                 str(os.getpid()), "-o", path],
                                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                        time.sleep(1.0)  # let perf attach; sleeping is not sampled
            batch = [host.as_node(m) for m in memories[start:end]]
            host.store(graph, batch)
            host.link(graph, ext, batch)
            if perf is not None and end >= window_mark:
                if grind:
                    grind.end(f"mark{window_mark}")
                    per = counted(latest_dump(), package_file)
                    scale = 1.0
                else:
                    perf.send_signal(signal.SIGINT)
                    perf.wait()
                    per = sampled(os.path.join(tmp, f"{window_mark}.data"), package_file)
                    scale = 1e6
                perf = None
                results[window_mark] = {k: scale * v / (end - window_start) for k, v in per.items()}
    names = [g for g, _ in GROUPS]
    if grind:
        print(f"Instructions per memory by shared object, counted over the last {args.window} "
              f"memories before each mark")
    else:
        print("CPU time per memory (us) by shared object, sampled over the last tenth before each mark")
    print(f"{'memories held':>14} " + " ".join(f"{n:>21}" for n in names) + f" {'total':>10}")
    for mark, row in results.items():
        print(f"{mark:>14,} " + " ".join(f"{row.get(n, 0.0):>21,.1f}" for n in names)
              + f" {sum(row.values()):>10,.1f}")
    return results


if __name__ == "__main__":
    main()
