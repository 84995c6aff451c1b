"""Recall over the formed graph against vector search alone: its quality on
workloads whose right answers are known without anyone's judgement, and its
cost on PostgreSQL with pgvector (`AsyncStoreHost`, a throwaway cluster).

    .venv/bin/python benchmarks/recall.py                      # quality, cost at 10^4 and 10^5
    .venv/bin/python benchmarks/recall.py --sizes 10000 --quick

Quality (`k` = 5 and 10; recall@k: the share of the right answers among the
first k; precision@k: the share of the first k that are right):

- episodes: the demo's 3,801 real texts (standard-library docstrings, 384-
  dimensional sentence embeddings) in their file order, which groups them by
  owner (the class or module a function belongs to): an episode is a run of
  consecutive memories with one owner, as a conversation's memories arrive
  together. They are ingested in that order (default `LacetConfig`: the
  chain, semantic edges at 0.7, the cap of 8). A query is one memory's
  vector moved away from it (cosine about 0.86 to it); the right answers are
  the rest of its episode (episodes of 3 to 20 memories), and the memory
  itself is left out of the answers.
- two hops: synthetic, 64 dimensions. For each of 200 queries, a bridge
  memory at cosine 0.6 to the query, an answer at 0.84 to the bridge but
  only 0.2 to the query, and four distractors at 0.45 to 0.55 to the query,
  among 5,000 clustered background memories, ingested in a shuffled order.
  The right answers are the bridge and the answer: vector search alone
  cannot find the answer, which 40 background memories and more are nearer.

Vector search alone is the recall with `max_iterations` 0 and `seed_count`
k + 1 (the HNSW search); recall is the package's context (`seed_count` 5,
gossip weight 0.25, the package's flags) with 1, 2 and 3 rounds. "Hurt" is
the share of queries for which recall finds fewer right answers in its first
k than vector search alone, "helped" more.

Cost, at each of `--sizes` memories (synthetic 128-dimensional clustered
vectors, `pg_bench.clustered`, ingested through the host in calls of 200,
so the graph is the package's): a recall's latency, one at a time (p50,
p99) and statements a recall; then, for `--seconds` each, recalls a second
from 8 clients, memories a second from 2 clients adding calls of 10, and
both at once.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import random
import sys
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
import pg_bench  # noqa: E402  (puts host_contracts on the path)
from pg_bench import clustered, demo_corpus, quantile  # noqa: E402

import numpy as np  # noqa: E402

from vantor.agents.gossip_retriever import RetrievalContext  # noqa: E402
from vantor.core.node import MemoryNode  # noqa: E402
from vantor_lacet_stores.hosts.async_host import AsyncStoreHost  # noqa: E402
from vantor_lacet_stores.testing.cluster import ThrowawayCluster  # noqa: E402

KS = (5, 10)
METHODS = ("vector", "recall 1", "recall 2", "recall 3")


def unit(v: np.ndarray) -> np.ndarray:
    return (v / np.linalg.norm(v, axis=-1, keepdims=True)).astype(np.float32)


def context(method: str, results: int) -> RetrievalContext:
    if method == "vector":
        return RetrievalContext(seed_count=results, max_iterations=0, max_results=results,
                                degree_normalization=False, use_volume_termination=False,
                                strengthen_on_retrieval=False, coverage_harvest=True,
                                coverage_gossip_weight=0.25)
    return RetrievalContext(seed_count=5, max_iterations=int(method.split()[1]),
                            max_results=results, degree_normalization=False,
                            use_volume_termination=False, strengthen_on_retrieval=False,
                            coverage_harvest=True, coverage_gossip_weight=0.25)


async def ingest(host: AsyncStoreHost, graph: str, ids: list[str], vecs: np.ndarray,
                 texts: list[str] | None = None, batch: int = 200) -> None:
    for lo in range(0, len(ids), batch):
        await host.add(graph, [MemoryNode(id=ids[i], content=texts[i] if texts else ids[i],
                                          content_embedding=vecs[i])
                               for i in range(lo, min(lo + batch, len(ids)))])


async def score(host: AsyncStoreHost, graph: str,
                queries: list[tuple[np.ndarray, set[str], str | None]],
                by_query: dict[tuple[int, str], list[int]] | None = None) -> list[dict[str, Any]]:
    """Recall and precision at each k for each method; hurt and helped against vector.
    `by_query` receives the right answers found for each query, by (k, method)."""
    rows = []
    for k in KS:
        hits: dict[str, list[int]] = {}
        for method in METHODS:
            found = []
            for query, truth, leave_out in queries:
                answer = [r.id for r in await host.recall(graph, query, context(method, k + 1))
                          if r.id != leave_out][:k]
                found.append(len(truth.intersection(answer)))
            hits[method] = found
            if by_query is not None:
                by_query[k, method] = found
        for method in METHODS:
            found, base = hits[method], hits["vector"]
            rows.append({
                "k": k, "method": method,
                "recall": float(np.mean([f / len(q[1]) for f, q in zip(found, queries)])),
                "precision": float(np.mean([f / k for f in found])),
                "hurt": float(np.mean([f < b for f, b in zip(found, base)])),
                "helped": float(np.mean([f > b for f, b in zip(found, base)]))})
    return rows


async def episodes(conninfo: str, limit: int) -> dict[str, Any]:
    texts, vecs = demo_corpus()
    with open(pg_bench.ROOT / "demo" / "data" / "corpus.jsonl", encoding="utf-8") as fh:
        owners = [json.loads(line)["source"].rsplit(".", 1)[0] for line in fh]
    ids = [f"d{i:05d}" for i in range(len(texts))]
    runs: list[list[str]] = []
    for i, owner in enumerate(owners):
        if i and owner == owners[i - 1]:
            runs[-1].append(ids[i])
        else:
            runs.append([ids[i]])
    eligible = [run for run in runs if 3 <= len(run) <= 20]
    rng = np.random.default_rng(7)
    index = {node_id: i for i, node_id in enumerate(ids)}
    queries = []
    for run in eligible[:limit]:
        member = run[int(rng.integers(len(run)))]
        query = unit(vecs[index[member]] + 0.6 * unit(rng.normal(size=vecs.shape[1])))
        queries.append((query, set(run) - {member}, member))
    host = await AsyncStoreHost.connect(conninfo, vecs.shape[1], ef_search=100)
    try:
        await ingest(host, "episodes", ids, vecs, texts, batch=50)
        found: dict[tuple[int, str], list[int]] = {}
        rows = await score(host, "episodes", queries, found)
    finally:
        await host.close()
    sizes = [len(q[1]) + 1 for q in queries]
    # by episode size, at k = 10: where the chain leads out of a short episode
    buckets = []
    for lo, hi in ((3, 4), (5, 8), (9, 20)):
        picked = [i for i, size in enumerate(sizes) if lo <= size <= hi]
        row: dict[str, Any] = {"sizes": f"{lo}-{hi}", "queries": len(picked)}
        for method in METHODS:
            row[method] = float(np.mean([found[10, method][i] / len(queries[i][1])
                                         for i in picked]))
        buckets.append(row)
    return {"queries": len(queries), "episode sizes": f"{min(sizes)}-{max(sizes)}, "
            f"mean {np.mean(sizes):.1f}", "rows": rows, "by size": buckets}


async def two_hops(conninfo: str, groups: int, background: int) -> dict[str, Any]:
    dim, rng = 64, np.random.default_rng(11)
    vecs, ids = [clustered(background, dim=dim, seed=5)], [f"bg{i}" for i in range(background)]
    queries = []
    for g in range(groups):
        basis = np.linalg.qr(rng.normal(size=(dim, 3 + 4)))[0].T  # orthonormal rows
        q, e2, e3 = basis[0], basis[1], basis[2]
        bridge = 0.6 * q + 0.8 * e2
        answer = 0.2 * q + 0.9 * e2 + np.sqrt(1 - 0.04 - 0.81) * e3
        cs = rng.uniform(0.45, 0.55, size=4)
        distractors = [c * q + np.sqrt(1 - c * c) * basis[3 + j] for j, c in enumerate(cs)]
        vecs.append(unit(np.array([bridge, answer, *distractors])))
        ids += [f"b{g}", f"a{g}"] + [f"x{g}.{j}" for j in range(4)]
        queries.append((q.astype(np.float32), {f"b{g}", f"a{g}"}, None))
    all_vecs = np.concatenate(vecs)
    order = list(range(len(ids)))
    random.Random(3).shuffle(order)
    host = await AsyncStoreHost.connect(conninfo, dim, ef_search=100)
    try:
        await ingest(host, "two hops", [ids[i] for i in order], all_vecs[order], batch=50)
        rows = await score(host, "two hops", queries)
    finally:
        await host.close()
    return {"queries": len(queries), "memories": len(ids), "rows": rows}


async def cost(conninfo: str, n: int, recalls: int, seconds: float) -> dict[str, Any]:
    dim = 128
    vecs = clustered(n + 20000, dim=dim, seed=1)
    graph = f"cost {n}"
    host = await AsyncStoreHost.connect(conninfo, dim, ef_search=100, max_size=12)
    rng = np.random.default_rng(2)

    def query() -> np.ndarray:
        return unit(vecs[int(rng.integers(n))] + 0.5 * unit(rng.normal(size=dim)))

    out: dict[str, Any] = {"memories": n}
    try:
        started = time.monotonic()
        await ingest(host, graph, [f"m{i}" for i in range(n)], vecs[:n])
        out["fill seconds"] = round(time.monotonic() - started, 1)
        for method in ("vector", "recall 3"):
            ctx = context(method, 10) if method == "recall 3" else context("vector", 10)
            times, before = [], host.statements
            for _ in range(recalls):
                q = query()
                t0 = time.perf_counter()
                await host.recall(graph, q, ctx)
                times.append(time.perf_counter() - t0)
            out[method] = {"p50 ms": 1000 * quantile(times, 0.5),
                           "p99 ms": 1000 * quantile(times, 0.99),
                           "statements a recall": (host.statements - before) / recalls}
        # 8 recall clients alone, 2 ingest clients alone, then both together
        ctx, stop = context("recall 3", 10), 0.0
        done, added, latencies = [0], [0], []
        fresh = iter(range(n, n + 20000))

        async def recaller() -> None:
            while time.monotonic() < stop:
                t0 = time.perf_counter()
                await host.recall(graph, query(), ctx)
                latencies.append(time.perf_counter() - t0)
                done[0] += 1

        async def adder() -> None:
            while time.monotonic() < stop:
                batch = [next(fresh) for _ in range(10)]
                await host.add(graph, [MemoryNode(id=f"m{i}", content="new",
                                                  content_embedding=vecs[i]) for i in batch])
                added[0] += len(batch)

        for name, recallers, adders in (("recall alone", 8, 0), ("ingest alone", 0, 2),
                                        ("under ingest", 8, 2)):
            done[0] = added[0] = 0
            latencies.clear()
            t0 = time.monotonic()
            stop = t0 + seconds
            await asyncio.gather(*(recaller() for _ in range(recallers)),
                                 *(adder() for _ in range(adders)))
            elapsed = time.monotonic() - t0
            out[name] = {"recalls/s": done[0] / elapsed, "memories added/s": added[0] / elapsed,
                         "p50 ms": 1000 * quantile(latencies, 0.5),
                         "p99 ms": 1000 * quantile(latencies, 0.99), "load": os.getloadavg()[0]}
    finally:
        await host.close()
    return out


def print_tables(report: dict[str, Any]) -> None:
    for name in ("episodes", "two hops"):
        part = report.get(name)
        if not part:
            continue
        print(f"\n{name}: " + ", ".join(f"{k} {v}" for k, v in part.items()
                                        if k not in ("rows", "by size")))
        print("| k | method | recall@k | precision@k | hurt | helped |\n|---:|---|---:|---:|---:|---:|")
        for r in part["rows"]:
            print(f"| {r['k']} | {r['method']} | {r['recall']:.3f} | {r['precision']:.3f} | "
                  f"{r['hurt']:.1%} | {r['helped']:.1%} |")
    if report.get("episodes"):
        print("\nrecall@10 by episode size\n| episode size | queries | "
              + " | ".join(METHODS) + " |\n|---|---:|" + "---:|" * len(METHODS))
        for b in report["episodes"]["by size"]:
            print(f"| {b['sizes']} | {b['queries']} | "
                  + " | ".join(f"{b[m]:.3f}" for m in METHODS) + " |")
    if report.get("cost"):
        print("\n| memories | vector p50 / p99 ms | recall (3 rounds) p50 / p99 ms | statements a recall "
              "| 8 clients: recalls/s, p50 / p99 ms (load) | the same beside 2 ingest clients "
              "| memories added/s: alone, beside the recalls |\n|---:|---|---|---:|---|---|---|")
        for c in report["cost"]:
            v, r, a, i, u = (c[name] for name in ("vector", "recall 3", "recall alone",
                                                  "ingest alone", "under ingest"))
            print(f"| {c['memories']:,} | {v['p50 ms']:.1f} / {v['p99 ms']:.1f} | "
                  f"{r['p50 ms']:.1f} / {r['p99 ms']:.1f} | {r['statements a recall']:.2f} | "
                  f"{a['recalls/s']:.0f}, {a['p50 ms']:.1f} / {a['p99 ms']:.1f} ({a['load']:.1f}) | "
                  f"{u['recalls/s']:.0f}, {u['p50 ms']:.1f} / {u['p99 ms']:.1f} ({u['load']:.1f}) | "
                  f"{i['memories added/s']:.0f}, {u['memories added/s']:.0f} |")
    print(f"\nload average {report['load_average']}")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="10000,100000",
                        help="graph sizes for the cost, comma-separated (empty: none)")
    parser.add_argument("--quick", action="store_true",
                        help="fewer queries and recalls, a 2,000-memory background")
    parser.add_argument("--no-quality", action="store_true")
    parser.add_argument("--seconds", type=float, help="each load phase of the cost (default 20)")
    parser.add_argument("--json", help="where to write the report (default benchmarks/results)")
    args = parser.parse_args(argv)
    sizes = [int(s) for s in args.sizes.split(",") if s]
    report: dict[str, Any] = {"started": time.strftime("%Y-%m-%d %H:%M:%S"),
                              "load_before": os.getloadavg()}
    with ThrowawayCluster({"shared_buffers": "512MB", "maintenance_work_mem": "256MB"}) as cluster:
        if not args.no_quality:
            report["episodes"] = asyncio.run(episodes(cluster.conninfo, 80 if args.quick else 1000))
            report["two hops"] = asyncio.run(two_hops(cluster.conninfo, 60 if args.quick else 200,
                                                      2000 if args.quick else 5000))
        seconds = args.seconds or (5.0 if args.quick else 20.0)
        report["cost"] = [asyncio.run(cost(cluster.conninfo, n, 100 if args.quick else 400,
                                           seconds)) for n in sizes]
    path = pg_bench.write_report(report, "recall", args.json)
    print_tables(report)
    print(f"report: {path}")


if __name__ == "__main__":
    main()
