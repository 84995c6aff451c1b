"""Benchmark suite: the native package against the pure-Python model, side by side.

    python benchmarks/run.py [--quick] [--json PATH]

Each measurement runs the native package and the model in this process with
identical inputs: one warm-up run each, then interleaved repetitions
(native, model, native, model, ...); the median time of each is reported.
Host state is rebuilt before every repetition (not timed). See README.md.
"""
from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import statistics
import sys
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import thin_host  # noqa: E402
import workloads as W  # noqa: E402

IMPLS = W.implementations()
THIN_KINDS = (thin_host.SLOTS, thin_host.DICT)
FORMERS = [former for _, former in IMPLS.values()]


def timed(fn):
    """Run fn() with the collector frozen over everything built so far.

    Returns (cpu seconds, wall seconds, value). The table uses the process's
    CPU time: on a shared machine it is not inflated by time spent waiting
    for a core, as wall time is.
    """
    gc.collect()
    gc.freeze()
    try:
        c0, t0 = time.process_time(), time.perf_counter()
        value = fn()
        return time.process_time() - c0, time.perf_counter() - t0, value
    finally:
        gc.unfreeze()


def compare(setup, run, reps, label):
    """setup(pkg) -> state (untimed); run(state) -> outcome (timed).

    Returns {impl: [seconds...]}. The outcomes of the two implementations must
    agree at every repetition, or the comparison would be meaningless.
    """
    times = {name: [] for name in IMPLS}
    for rep in range(reps + 1):  # rep 0 is the warm-up
        outcomes = {}
        for name, (pkg, _) in IMPLS.items():
            state = setup(pkg)
            cpu, wall, outcomes[name] = timed(lambda: run(state))
            del state
            if rep:
                times[name].append(cpu)
                WALL.setdefault(label, {}).setdefault(name, []).append(wall)
        if outcomes["native"] != outcomes["model"]:
            raise SystemExit(f"{label}: native and model disagree: {outcomes}")
        last_outcome = outcomes["native"]
    return times, last_outcome


ROWS = []
WALL = {}  # label -> impl -> wall-clock seconds per repetition, for the JSON


def record(workload, host, unit, count, times, target=None, extra=None):
    med = {name: statistics.median(ts) for name, ts in times.items()}
    row = {
        "workload": workload, "host": host, "unit": unit, "count": count,
        "native_per_s": count / med["native"], "model_per_s": count / med["model"],
        "native_us": 1e6 * med["native"] / count, "model_us": 1e6 * med["model"] / count,
        "ratio": med["model"] / med["native"], "target": target,
        "reps": len(times["native"]),
        "native_cpu_s": times["native"], "model_cpu_s": times["model"],
    }
    if extra:
        row.update(extra)
    ROWS.append(row)
    tgt = f"  (target >= {target}x: {'met' if row['ratio'] >= target else 'MISSED'})" if target else ""
    note = "".join(f"  {k}={v}" for k, v in (extra or {}).items())
    print(f"{workload:<34} {host:<11} {row['native_per_s']:>12,.0f} {row['model_per_s']:>12,.0f} "
          f"{row['ratio']:>6.2f}x{tgt}{note}", flush=True)
    return row


# -- workloads -----------------------------------------------------------------

def stream_workloads(host, stream, reps, batches):
    n = len(stream.stream)
    # by time; batches are held against the stream's own figure (no worse per node)
    target = 1.8 if host.startswith("thin") else None

    def one(label, run, target):
        times, (created, evicted) = compare(stream.fresh, run, reps, f"{label}/{host}")
        return record(label, host, "memories", n, times, target,
                      {"edges_per_ingest": round(created / n, 2), "evictions_per_ingest": round(evicted / n, 2)})

    single = one("1 ingest stream", lambda s: W.ingest_all(s[0], s[1], stream.stream), target)
    for size in batches:
        row = one(f"2 batch of {size}", lambda s, size=size: W.ingest_batches(s[0], s[1], stream.stream, size),
                  None)
        print(f"  native time per node in batches of {size}: {100 * (row['native_us'] / single['native_us'] - 1):+.1f}% "
              f"against the single-ingest stream (target: no worse)", flush=True)


def big_graph_workloads(host, graph, n_forget, n_context, reps):
    service = thin_host.Search([]) if host.startswith("thin") else object()
    n_nodes = len(graph.all_nodes())

    def construct(pkg):
        ext = pkg.build_extension(service, graph, None)
        return len(ext._candidate_ids)

    times, _ = compare(lambda pkg: pkg, construct, reps, f"construction/{host}")
    record(f"3 construction ({n_nodes:.0e} nodes)", host, "nodes", n_nodes, times, 1.4)

    ids = [f"m{i}" for i in range(0, n_nodes, max(n_nodes // n_forget, 1))][:n_forget]

    def forget(ext):
        ext.on_forget(ids)
        return len(ext._candidate_ids)

    times, _ = compare(lambda pkg: pkg.build_extension(service, graph, None), forget, reps, f"forget/{host}")
    record(f"3 on_forget ({len(ids):.0e} ids)", host, "ids", len(ids), times)

    def contexts(ext):
        rc = ext.retrieval_context
        for i in range(n_context):
            ctx = rc(i)
        return (ctx.max_results, ctx.seed_count)

    empty = thin_host.Graph()
    times, _ = compare(lambda pkg: pkg.build_extension(service, empty, None), contexts, reps,
                       f"retrieval_context/{host}")
    record("3 retrieval_context", host, "calls", n_context, times)


def scaling(sizes, caps, ks, n_ingest, reps, kind):
    out = {"registered": [], "edges_per_endpoint": [], "candidates": []}
    host = f"thin/{kind.name}"

    def point(sweep, value, stream):
        times, (created, evicted) = compare(stream.fresh, lambda s: W.ingest_all(s[0], s[1], stream.stream),
                                            reps, f"scaling {sweep}={value}/{host}")
        row = record(f"4 {sweep}={value}", host, "memories", n_ingest, times,
                     extra={"edges_per_ingest": round(created / n_ingest, 2),
                            "evictions_per_ingest": round(evicted / n_ingest, 2)})
        out[sweep].append({"value": value, "native_us": row["native_us"], "model_us": row["model_us"]})

    for size in sizes:
        point("registered", size, W.ThinStream(n_ingest=n_ingest, pool=1000, registered=size, kind=kind))
    for cap in caps:
        point("edges_per_endpoint", cap, W.ThinStream(n_ingest=n_ingest, pool=1000, cap=cap, kind=kind))
    for k in ks:
        point("candidates", k, W.ThinStream(n_ingest=n_ingest, pool=1000, k=k, kind=kind))
    return out


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory(n_traced, n_rss):
    """Bytes per registered node: the candidate index of each implementation
    against a plain set + dict filled with the same ids."""
    result = {}
    graph = W.thin_big_graph(n_traced, with_embedding=1.0)
    nodes = graph.all_nodes()

    def plain():
        s, d = set(), {}
        for node in nodes:
            s.add(node.id)
            d[node.id] = node
        return s, d

    builders = {name: (lambda pkg=pkg: pkg.build_extension(None, graph, None)) for name, (pkg, _) in IMPLS.items()}
    builders["plain set+dict"] = plain
    keep = []
    for name, build in builders.items():
        gc.collect()
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        obj = build()
        after = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        if isinstance(obj, tuple):
            s, d = obj
            attrs = None
        else:
            s, d = obj._candidate_ids, obj._node_lookup
            attrs = sorted(vars(obj))
        result[name] = {
            "nodes": n_traced,
            "getsizeof_per_node": (sys.getsizeof(s) + sys.getsizeof(d)) / n_traced,
            "tracemalloc_per_node": (after - before) / n_traced,
            "instance_attributes": attrs,
        }
        keep.append(obj)
    del keep, graph, nodes

    # Resident memory of a construction over n_rss nodes, which also sees
    # allocations that bypass Python's allocator.
    graph = W.thin_big_graph(n_rss, with_embedding=1.0)
    nodes = graph.all_nodes()
    keep = []
    for name, build in list(builders.items()):
        if name != "plain set+dict":
            build = (lambda pkg=IMPLS[name][0]: pkg.build_extension(None, graph, None))
        gc.collect()
        before = rss_bytes()
        keep.append(build())
        gc.collect()
        result[name]["rss_nodes"] = n_rss
        result[name]["rss_per_node"] = (rss_bytes() - before) / n_rss
    del keep
    return result


def machine():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "python": sys.version.split()[0],
            "platform": platform.platform(), "date": time.strftime("%Y-%m-%d %H:%M:%S %Z")}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small sizes, few repetitions (smoke run)")
    ap.add_argument("--json", default=os.path.join(HERE, "results", "latest.json"), help="where to save results")
    args = ap.parse_args(argv)

    q = args.quick
    reps = 3 if q else 7
    big = 10**5 if q else 10**6
    t_start = time.perf_counter()
    info = machine()
    print(f"machine: {info['cpu']}, {info['cores']} cores, Python {info['python']}")
    print("per second of process CPU time, median of interleaved repetitions")
    print(f"{'workload':<34} {'host':<11} {'native/s':>12} {'model/s':>12} {'ratio':>7}")

    for kind in THIN_KINDS:
        with thin_host.plugged(*FORMERS, kind=kind):
            stream = W.ThinStream(n_ingest=1000 if q else 4000, pool=4000, kind=kind)
            stream_workloads(f"thin/{kind.name}", stream, reps, (100, 1000))
            del stream
            graph = W.thin_big_graph(big, kind=kind)
            big_graph_workloads(f"thin/{kind.name}", graph, big // 10, 10**4 if q else 10**5, 3 if q else 5)
            del graph

    stream = W.ReferenceStream(n_ingest=300 if q else 1000, pool=2000)
    stream_workloads("reference", stream, reps, (100, 1000) if not q else (100,))
    del stream
    graph = W.reference_big_graph(big)
    big_graph_workloads("reference", graph, big // 10, 10**4 if q else 10**5, 3 if q else 5)
    del graph

    sweep = {}
    for kind in THIN_KINDS:
        with thin_host.plugged(*FORMERS, kind=kind):
            sizes = (10**3, 10**4, 10**5) if q else (10**3, 10**4, 10**5, 10**6)
            sweep[kind.name] = scaling(sizes, (2, 8, 32), (2, 8, 32), 300 if q else 1000, 3 if q else 5, kind)

    mem = memory(10**5, 10**5 if q else 10**6)
    print("memory, bytes per registered node (getsizeof set+dict / tracemalloc / RSS):")
    for name, m in mem.items():
        print(f"  {name:<16} {m['getsizeof_per_node']:7.1f} {m['tracemalloc_per_node']:7.1f} "
              f"{m['rss_per_node']:7.1f}   attributes: {m['instance_attributes']}")

    summary = summarise(sweep, mem)
    for line in summary:
        print(line)
    elapsed = time.perf_counter() - t_start
    print(f"total {elapsed:.0f} s")

    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    with open(args.json, "w") as f:
        json.dump({"machine": info, "quick": q, "elapsed_s": elapsed, "rows": ROWS, "wall_times_s": WALL, "scaling": sweep,
                   "memory": mem, "summary": summary}, f, indent=1)
    print(f"saved {args.json}")


def summarise(sweeps, mem):
    lines = []
    for host, sweep in sweeps.items():
        reg = sweep["registered"]
        if len(reg) > 1:
            for impl in ("native", "model"):
                a, b = reg[0][f"{impl}_us"], reg[-1][f"{impl}_us"]
                lines.append(f"thin/{host} scaling {impl}: {b:.2f} us/ingest at {reg[-1]['value']:.0e} registered "
                             f"vs {a:.2f} at {reg[0]['value']:.0e} ({100 * (b / a - 1):+.1f}%)")
        for kind in ("edges_per_endpoint", "candidates"):
            pts = sweep[kind]
            lines.append(f"thin/{host} {kind} native us/ingest: "
                         + ", ".join(f"{p['value']}: {p['native_us']:.2f}" for p in pts)
                         + " | model: " + ", ".join(f"{p['value']}: {p['model_us']:.2f}" for p in pts))
    plain = mem["plain set+dict"]["getsizeof_per_node"]
    native = mem["native"]["getsizeof_per_node"]
    lines.append(f"memory native index {native:.1f} B/node vs plain set+dict {plain:.1f} B/node "
                 f"({100 * (native / plain - 1):+.1f}%)")
    return lines


if __name__ == "__main__":
    main()
