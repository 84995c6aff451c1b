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
counts do not depend on the machine's load or caches), and splits them at the
package's boundary as benchmarks/callgrind_split.py does (own work, host calls,
candidate index):

    valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file=/tmp/cg.%p \
        .venv/bin/python demo/native_profile.py --synthetic 100000 --callgrind

With `--edge-model` as well, instructions are collected only inside the calls
the package makes to the host's edge model (MemoryEdge, RelationshipMetadata,
WeightMetadata, share_edge_fields_set), each wrapped in a pair of collection
toggles; the toggles' own instructions, counted the same way around a no-op,
are taken out.
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
from contextlib import ExitStack, contextmanager
from pathlib import Path
from typing import Any, Iterator

if __name__ == "__main__":
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

sys.path.insert(0, str(Path(__file__).resolve().parent))
import lacet_demo  # noqa: E402,F401  (puts the reference host on sys.path)
import vantor_lacet  # noqa: E402
from lacet_demo import host  # noqa: E402
from lacet_demo.corpus import synthetic_corpus  # noqa: E402
from lacet_demo.slots import edge_classes_with_slots  # noqa: E402
from lacet_demo.stream import EDGE_MODEL  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks"))
import callgrind_split  # noqa: E402
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
static int collecting = 1;
void collect(int on) { if (on != collecting) { CALLGRIND_TOGGLE_COLLECT; collecting = on; } }
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

    def collected_only_inside(self, fn: Any, counter: list[int]) -> Any:
        """fn, with instructions collected only while it runs; counter[0] counts the calls."""
        collect = self.lib.collect

        def call(*args: Any, **kwargs: Any) -> Any:
            collect(1)
            try:
                return fn(*args, **kwargs)
            finally:
                collect(0)
                counter[0] += 1
        return call


def _noop_init(self: Any, source_node: Any, target_node: Any, relationship: Any,
               weight: Any = None, id: Any = None) -> None:
    return None


def _noop(edge: Any) -> Any:
    return edge


@contextmanager
def edge_model_collected(grind: Callgrind, calls: dict[str, list[int]]) -> Iterator[None]:
    """The host's edge model in vantor_lacet.former, each call collected (a subclass with a
    collecting __init__ for a class, so that the package still enters it by its fast path)."""
    saved = {name: getattr(vantor_lacet.former, name) for name in EDGE_MODEL}
    try:
        for name, value in saved.items():
            calls[name] = [0]
            if isinstance(value, type):
                init = grind.collected_only_inside(value.__init__, calls[name])
                value = type(value.__name__, (value,), {"__init__": init, "__slots__": ()})
            else:
                value = grind.collected_only_inside(value, calls[name])
            setattr(vantor_lacet.former, name, value)
        yield
    finally:
        for name, value in saved.items():
            setattr(vantor_lacet.former, name, value)


def toggle_cost(grind: Callgrind, n: int = 2000) -> tuple[float, float]:
    """Instructions collected per call around a no-op, keyword and positional shape."""
    costs = []
    for shape in ("keywords", "positional"):
        counter = [0]
        f = grind.collected_only_inside(_noop_init if shape == "keywords" else _noop, counter)
        grind.start()
        grind.lib.collect(0)
        obj = object()
        for _ in range(n):
            if shape == "keywords":
                f(obj, source_node="a", target_node="b", relationship=None, weight=None)
            else:
                f(obj)
        grind.end(f"toggle-{shape}")
        grind.lib.collect(1)
        costs.append(total_instructions(latest_dump()) / n)
    return costs[0], costs[1]


def total_instructions(out_file: str) -> int:
    with open(out_file) as fh:
        for line in fh:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    return 0


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
    p.add_argument("--edge-model", action="store_true",
                   help="with --callgrind: count only the host's edge model, as the package calls it")
    p.add_argument("--edge-slots", action="store_true",
                   help="the host's edge dataclasses rebuilt with slots=True (as the demo's option)")
    args = p.parse_args(argv)
    with ExitStack() as run_only:
        if args.edge_slots:
            run_only.enter_context(edge_classes_with_slots(vantor_lacet.former))
        return _profile(args)


def _profile(args: argparse.Namespace) -> dict[int, dict[str, float]]:
    memories = synthetic_corpus(args.synthetic)
    marks = sorted(args.marks or checkpoints(args.synthetic))
    package_file = os.path.basename(vantor_lacet.__file__)

    made = host.make_host("approx")
    graph = made.graph
    ext = host.connect(graph, made.service, vantor_lacet.LacetConfig())
    results: dict[int, dict[str, float]] = {}
    splits: dict[int, dict[str, float]] = {}
    edge_calls: dict[int, dict[str, int]] = {}
    calls: dict[str, list[int]] = {}
    edge_model = ExitStack()
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
                        if args.edge_model:
                            edge_model.enter_context(edge_model_collected(grind, calls))
                            grind.lib.collect(0)
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
                    dump = latest_dump()
                    if args.edge_model:
                        grind.lib.collect(1)
                        edge_model.close()
                        edge_calls[window_mark] = {k: v[0] for k, v in calls.items()}
                        edge_calls[window_mark]["memories"] = end - window_start
                        per = {"host edge model": total_instructions(dump)}
                    else:
                        per = counted(dump, package_file)
                        split = callgrind_split.Profile(dump).split()
                        splits[window_mark] = {k: split[k] / (end - window_start)
                                               for k in ("own", "host_calls", "index")}
                    scale = 1.0
                else:
                    perf.send_signal(signal.SIGINT)
                    perf.wait()
                    per = sampled(os.path.join(tmp, f"{window_mark}.data"), package_file)
                    scale = 1e6
                perf = None
                results[window_mark] = {k: scale * v / (end - window_start) for k, v in per.items()}
        if grind and args.edge_model:
            return _report_edge_model(grind, results, edge_calls, args.window)
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
    for mark, split in splits.items():
        print(f"{mark:>14,}: split at the package's boundary, per memory: own work "
              f"{split['own']:,.0f}, host calls {split['host_calls']:,.0f}, "
              f"candidate index {split['index']:,.0f}")
    return results


def _report_edge_model(grind: Callgrind, results: dict[int, dict[str, float]],
                       edge_calls: dict[int, dict[str, int]], window: int) -> dict[int, dict[str, float]]:
    keywords, positional = toggle_cost(grind)
    print(f"Instructions per memory in the host's edge model, as the package calls it, over the last "
          f"{window} memories before each mark (the collection toggles' own {keywords:,.0f} "
          f"instructions a keyword call and {positional:,.0f} a positional one taken out)")
    for mark, row in results.items():
        counts = dict(edge_calls[mark])
        memories = counts.pop("memories")
        positional_calls = counts["share_edge_fields_set"]
        keyword_calls = sum(counts.values()) - positional_calls
        toggles = (keyword_calls * keywords + positional_calls * positional) / memories
        row["host edge model"] -= toggles
        print(f"{mark:>14,}: {row['host edge model']:,.0f} instructions, "
              f"{sum(counts.values()) / memories:.1f} calls "
              f"({', '.join(f'{k} {v / memories:.2f}' for k, v in counts.items())})")
    return results


if __name__ == "__main__":
    main()
