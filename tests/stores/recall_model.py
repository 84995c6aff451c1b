"""Recall in plain Python over an in-memory graph (`all_nodes`,
`get_edges_for_node`): what the stores' one statement computes, written the
plain way, one round after another. Similarities are computed in double
precision; pgvector sums float32 products in an order of its own, so scores
agree with the store's to about 1e-7."""
from __future__ import annotations

import math
from typing import Any

import numpy as np


def recall(graph: Any, query: Any, ctx: Any) -> list[tuple[str, float, int, Any, Any]]:
    """(id, score, hop, edge id, via id) for each memory reached and harvested,
    best first: the answer is the first `ctx.max_results` of them."""
    q = np.asarray(query, dtype=np.float32).astype(np.float64).ravel()
    if not q.any():
        return []
    found = []
    for node in graph.all_nodes():
        if node.content_embedding is None:
            continue
        v = np.asarray(node.content_embedding, dtype=np.float32).astype(np.float64).ravel()
        if v.any():
            sim = float(v @ q) / math.sqrt(float(v @ v) * float(q @ q))
            found.append((1.0 - max(-1.0, min(1.0, sim)), node.id))
    found.sort()
    gossip = min(max(float(ctx.coverage_gossip_weight), 0.0), 1.0)
    fresh = {node_id: max(1.0 - distance, 0.0) for distance, node_id in found[:max(ctx.seed_count, 0)]}
    # id -> [score, first hop, edge, via]
    reached: dict[str, list[Any]] = {node_id: [act, 0, None, None] for node_id, act in fresh.items()}
    hop = 0
    while (hop < ctx.max_iterations and fresh
           and not (ctx.use_volume_termination and len(reached) >= ctx.max_results)):
        hop += 1
        got: dict[str, list[Any]] = {}  # id -> [sum, best amount, its edge, its source]
        for node_id, act in fresh.items():
            if act <= 0:
                continue
            edges = [e for e in graph.get_edges_for_node(node_id) if e.source_node != e.target_node]
            if ctx.degree_normalization:
                act /= max(len(edges), 1)
            for edge in edges:
                other = edge.target_node if edge.source_node == node_id else edge.source_node
                amount = act * min(max(edge.weight.current, 0.0), 1.0) * gossip
                entry = got.setdefault(other, [0.0, -math.inf, None, None])
                entry[0] += amount
                if amount > entry[1] or (amount == entry[1] and edge.id < entry[2]):
                    entry[1:] = [amount, edge.id, node_id]
        fresh = {}
        for node_id, (total, _, edge_id, via) in got.items():
            if total <= 0:
                continue
            fresh[node_id] = total
            if node_id in reached:
                reached[node_id][0] += total
            else:
                reached[node_id] = [total, hop, edge_id, via]
    answer = [(node_id, *entry) for node_id, entry in reached.items()
              if ctx.coverage_harvest or entry[1] == 0]
    answer.sort(key=lambda item: (-item[1], item[0]))
    return answer
