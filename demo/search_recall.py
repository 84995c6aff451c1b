"""Recall and cost of the approximate search against the exact one.

Both of the reference host's services are fed the same memories one at a time,
as the demo's graph feeds them. Before a memory joins the candidates, both are
asked for its neighbours among the earlier memories (every `--every`th memory is
asked, so that large runs stay short), with the demo's search settings. Printed:
recall@k of the approximate service (the share of the exact service's results it
also returned), and the CPU time of each per stored memory, per search on the way
(the mean over the growing store) and per search with all memories held.

    .venv/bin/python demo/search_recall.py                      # the demo corpus
    .venv/bin/python demo/search_recall.py --synthetic 100000 --every 100
"""
from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

if __name__ == "__main__":
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import lacet_demo  # noqa: E402,F401  (puts the reference host on sys.path)
from lacet_demo.corpus import load_corpus, synthetic_corpus  # noqa: E402
from vantor.core.ann_similarity import ApproximateSimilarityService  # noqa: E402
from vantor.core.node import MemoryNode  # noqa: E402
from vantor.core.similarity import SimilarityService  # noqa: E402


def measure(vectors: list[np.ndarray], top_k: int, threshold: float | None, every: int) -> dict:
    services = {"exact": SimilarityService(), "approx": ApproximateSimilarityService()}
    add_time = dict.fromkeys(services, 0.0)
    query_time = dict.fromkeys(services, 0.0)
    cand: set[str] = set()
    lookup: dict[str, MemoryNode] = {}
    found = wanted = queries = 0
    clock = time.process_time
    for i, vec in enumerate(vectors):
        node = MemoryNode(id=f"m{i}", content_embedding=vec)
        for name, service in services.items():
            t0 = clock()
            service.add(node)
            add_time[name] += clock() - t0
        if cand and i % every == 0:
            results = {}
            for name, service in services.items():
                t0 = clock()
                results[name] = service.find_similar(node, [], top_k=top_k, threshold=threshold,
                                                     exclude_self=True, candidate_ids=cand,
                                                     node_lookup=lookup)
                query_time[name] += clock() - t0
            want = {n.id for n, _ in results["exact"]}
            found += len(want & {n.id for n, _ in results["approx"]})
            wanted += len(want)
            queries += 1
        cand.add(node.id)
        lookup[node.id] = node
    # Searches with every memory held: the cost at this size, not the mean on the way.
    probes = [lookup[f"m{i}"] for i in range(0, len(vectors), max(1, len(vectors) // 500))]
    full_us = {}
    for name, service in services.items():
        t0 = clock()
        for node in probes:
            service.find_similar(node, [], top_k=top_k, threshold=threshold, exclude_self=True,
                                 candidate_ids=cand, node_lookup=lookup)
        full_us[name] = 1e6 * (clock() - t0) / len(probes)
    n = len(vectors)
    return {"memories": n, "full_us": full_us, "queries": queries, "recall": found / max(wanted, 1), "wanted": wanted,
            "add_us": {k: 1e6 * v / n for k, v in add_time.items()},
            "query_us": {k: 1e6 * v / max(queries, 1) for k, v in query_time.items()}}


def main(argv: list[str] | None = None) -> dict:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--synthetic", type=int, default=None, metavar="N",
                   help="N synthetic memories (as in lacet_demo) instead of the corpus")
    p.add_argument("--limit", type=int, default=None, help="first N memories of the corpus")
    p.add_argument("--top-k", type=int, default=8)
    p.add_argument("--threshold", type=float, default=0.7, help="a negative value: no threshold")
    p.add_argument("--every", type=int, default=1, help="ask every Nth memory")
    args = p.parse_args(argv)
    if args.synthetic:
        memories = synthetic_corpus(args.synthetic)
        what = f"{len(memories):,} synthetic memories"
    else:
        memories = load_corpus(args.limit)
        what = f"{len(memories):,} corpus memories"
    threshold = None if args.threshold < 0 else args.threshold
    r = measure([m.embedding for m in memories], args.top_k, threshold, args.every)
    print(f"{what}, top_k {args.top_k}, threshold {threshold}, {r['queries']:,} searches "
          f"({r['wanted']:,} exact results): recall@{args.top_k} {r['recall']:.4f}")
    print(f"CPU time per memory: storing it, searching on the way (mean), searching with all "
          f"{r['memories']:,} held")
    for name in ("exact", "approx"):
        print(f"  {name:6}: {r['add_us'][name]:7.1f} us, {r['query_us'][name]:7.1f} us, "
              f"{r['full_us'][name]:7.1f} us")
    return r


if __name__ == "__main__":
    main()
