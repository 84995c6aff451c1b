"""Checks of the demo's split of the time per memory, runs interleaved in one
process, medians printed.

- **coarse against detailed**: a coarse run (`--coarse-timing` of the demo)
  times the search and add_node, and leaves the package's calls on the graph
  and the edge model untimed, inside the package's time; a detailed run times
  every host call and takes the wrappers' own cost back out. If that is done
  right, the two agree on the time outside the search ("sum" less the search).
- **slots**: the same, with the host's edge dataclasses rebuilt with
  slots=True (`--edge-slots` of the demo): what the host's edge model and the
  package's own work cost then.

CPU microseconds per memory over the whole stream (each batch's parts scaled
by its CPU share, as the demo does).

    .venv/bin/python demo/timing_check.py                       # the corpus, 5 rounds
    .venv/bin/python demo/timing_check.py --synthetic 10000 --search approx
"""
from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
from contextlib import ExitStack
from pathlib import Path

if __name__ == "__main__":
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

sys.path.insert(0, str(Path(__file__).resolve().parent))
import lacet_demo  # noqa: E402,F401  (puts the reference host on sys.path)
import vantor_lacet  # noqa: E402
from lacet_demo.corpus import load_corpus, synthetic_corpus  # noqa: E402
from lacet_demo.slots import edge_classes_with_slots  # noqa: E402
from lacet_demo.stats import PARTS, time_per_memory  # noqa: E402
from lacet_demo.stream import start, stream  # noqa: E402

MODES = (("detailed", True, False), ("coarse", False, False),
         ("detailed, slots", True, True), ("coarse, slots", False, True))


def one_run(memories: list, search: str, detail: bool, slots: bool, held_from: float) -> list[float]:
    """CPU us per memory of each part over the batches past held_from."""
    config = vantor_lacet.LacetConfig()
    with ExitStack() as stack:
        if slots:
            stack.enter_context(edge_classes_with_slots(vantor_lacet.former))
        run = start(search, config, detail=detail)
        stats = stream(run, memories, 50, progress=False)
    row = time_per_memory(stats, held_from, len(memories))
    del run, stats
    gc.collect()
    return row


def main(argv: list[str] | None = None) -> dict[str, list[list[float]]]:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--synthetic", type=int, default=None, metavar="N")
    p.add_argument("--search", choices=("exact", "approx"), default="exact")
    p.add_argument("--repeats", type=int, default=5)
    p.add_argument("--last-tenth", action="store_true",
                   help="only the last tenth of the stream (as the demo's table at each mark)")
    args = p.parse_args(argv)
    memories = synthetic_corpus(args.synthetic) if args.synthetic else load_corpus(None)
    held_from = 0.9 * len(memories) if args.last_tenth else 0
    runs: dict[str, list[list[float]]] = {name: [] for name, _, _ in MODES}
    for _ in range(args.repeats):
        for name, detail, slots in MODES:
            runs[name].append(one_run(memories, args.search, detail, slots, held_from))
    print(f"{len(memories):,} memories, {args.search} search, batches of 50, load average "
          f"{os.getloadavg()[0]:.1f} at the end, {os.cpu_count()} cores; CPU us per memory, "
          f"median of {args.repeats} interleaved runs{' (last tenth)' if args.last_tenth else ''}")
    heads = PARTS + ("sum less the search",)
    print(f"{'':>16}  " + "  ".join(f"{h[:22]:>22}" for h in heads))
    for name, rows in runs.items():
        medians = [statistics.median(col) for col in zip(*rows)]
        medians.append(statistics.median(sum(r[:5]) - r[2] for r in rows))  # less search, gc
        print(f"{name:>16}  " + "  ".join(f"{v:>22.1f}" for v in medians))
    print("In a coarse run, \"package\" includes its calls on the graph and the edge model, and"
          "\n\"host graph\" is add_node alone; the sum leaves out the search and the collector.")
    return runs


if __name__ == "__main__":
    main()
