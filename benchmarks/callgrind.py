"""Instructions per ingest under callgrind, split at the package's boundary.

    python benchmarks/callgrind.py [--n N] [--hosts slots,dict] [--batch SIZE] [--construct NODES]

For each thin host and workload, runs ingest_driver.py under valgrind's
callgrind for both implementations, once with N operations and once with
none (set-up only), and prints per operation:

- model, native: the instructions of the whole process, difference of the
  two runs divided by N (the caller's loop, the collector and teardown
  included);
- own: the package's own part of the native figure (callgrind_split.py);
- index: the upkeep of the candidate index (set and dict insertions and
  removals), which any implementation pays alike;
- host: native - own - index, the host's share: the callee side of every
  host call, what the host's objects cost (object.__new__ of its classes,
  freeing the objects the package lets go of last, such as evicted edges),
  the caller's loop, the collector, teardown. Both
  implementations make the same host calls, so the same share is taken for
  the model;
- ratio = model / native; bound = model / (host + index), the ratio a
  package of zero own cost would reach; fraction = ratio / bound
  (= (host + index) / native), how much of that bound the package reaches.

The native runs also count the package's cache hits and misses: a cache
that learns afresh more than twice over the N operations (or caches that
hardly hit at all) stop the run with an error, since every figure after it
would measure a package whose caches are off.

Instruction counts are stable from run to run where times on a shared
machine are not. `make bench-callgrind` runs the default set (a few minutes).
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import callgrind_split  # noqa: E402

DRIVER = os.path.join(HERE, "ingest_driver.py")


def profile(python, args, out_dir, label):
    out = os.path.join(out_dir, f"cg.{label}")
    counts = os.path.join(out_dir, f"counts.{label}.json")
    # No bytecode written: otherwise the first run of a fresh checkout or
    # interpreter compiles and writes every module it imports and the next
    # one reads them, and the difference of the two runs counts the
    # compilation as part of the operations (about 14,000 instructions an
    # ingest on 3.14). Both runs now compile, or read, alike.
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONDONTWRITEBYTECODE="1")
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", python, DRIVER, *args,
           "--counts", counts]
    done = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise SystemExit(f"callgrind run failed: {' '.join(cmd)}\n{done.stderr[-2000:]}")
    figures = callgrind_split.Profile(out).split()
    if os.path.exists(counts):
        with open(counts) as f:
            figures["caches"] = json.load(f)
    return figures


def check_caches(label, with_ops, without, ops):
    """Stops the run when a cache of the package does not serve: over the
    measured operations each cache may learn at most twice, and the caches
    together must hit at least once per operation."""
    delta = {k: (with_ops[k][0] - without[k][0], with_ops[k][1] - without[k][1]) for k in with_ops}
    relearning = {k: d for k, d in delta.items() if d[1] > 2}
    hits = sum(d[0] for d in delta.values())
    if relearning or hits < ops:
        raise SystemExit(f"{label}: the package's caches are not serving over {ops} operations "
                         f"(hits {hits}; caches learning afresh, as (hits, misses): {relearning})")


def measure(python, host, workload, n, out_dir):
    """Per-operation figures of one host and workload for both implementations."""
    if workload.startswith("construct"):
        nodes = int(workload.split(":")[1])
        extra, per = ["--construct", "--nodes", str(nodes)], n * nodes
    elif workload.startswith("batch"):
        extra, per = ["--batch", workload.split(":")[1], "--stream", str(n)], n
    else:
        extra, per = ["--stream", str(n)], n
    figures = {}
    for impl in ("native", "model"):
        runs = {}
        for count in (n, 0):
            label = f"{host}.{workload.replace(':', '')}.{impl}.{count}"
            runs[count] = profile(python, [impl, str(count), "--host", host, *extra], out_dir, label)
        figures[impl] = {key: (runs[n][key] - runs[0][key]) / per for key in ("total", "own", "index")}
        if impl == "native":
            check_caches(f"{host} {workload}", runs[n]["caches"], runs[0]["caches"], per)
    native, model = figures["native"]["total"], figures["model"]["total"]
    own, index = figures["native"]["own"], figures["native"]["index"]
    host_share = native - own - index
    ratio = model / native
    bound = model / (host_share + index)
    return {"host": host, "workload": workload, "n": n, "model": model, "native": native, "own": own,
            "index": index, "host_share": host_share, "ratio": ratio, "bound": bound, "fraction": ratio / bound}


def describe_workload(workload):
    if workload.startswith("construct"):
        return f"construction over {int(workload.split(':')[1]):,} nodes, per node"
    if workload.startswith("batch"):
        return f"batches of {workload.split(':')[1]}, per ingest"
    return "ingest stream, per ingest"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=2000, help="ingests per run (constructions: 1)")
    ap.add_argument("--hosts", default="slots,dict")
    ap.add_argument("--batch", type=int, default=100, help="also batches of this size (0: none)")
    ap.add_argument("--construct", type=int, default=0, help="also construction over this many nodes")
    ap.add_argument("--python", default=os.path.join(os.path.dirname(HERE), ".venv", "bin", "python"))
    ap.add_argument("--json", help="also save the figures here")
    ap.add_argument("--quick", action="store_true",
                    help="CI's check: 200 ingests, no batches, construction over 2,000 nodes")
    args = ap.parse_args(argv)
    if args.quick:
        args.n, args.batch, args.construct = 200, 0, 2000
    workloads = ["stream"] + ([f"batch:{args.batch}"] if args.batch else []) + \
        ([f"construct:{args.construct}"] if args.construct else [])
    rows = []
    print(f"{'host':<6} {'workload':<40} {'model':>9} {'native':>9} {'own':>9} {'index':>7} {'host':>9} "
          f"{'ratio':>6} {'bound':>6} {'fraction':>8}", flush=True)
    with tempfile.TemporaryDirectory() as out_dir:
        for host in args.hosts.split(","):
            for workload in workloads:
                n = 1 if workload.startswith("construct") else args.n
                r = measure(args.python, host, workload, n, out_dir)
                rows.append(r)
                print(f"{host:<6} {describe_workload(workload):<40} {r['model']:9,.0f} {r['native']:9,.0f} "
                      f"{r['own']:9,.0f} {r['index']:7,.0f} {r['host_share']:9,.0f} {r['ratio']:5.2f}x {r['bound']:5.2f}x "
                      f"{100 * r['fraction']:7.0f}%", flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
