"""Forgetting: memories removed from the graph and from the extension, then the
checks that the candidate index followed and no edge reaches them any more."""
from __future__ import annotations

from typing import Any

import numpy as np

from lacet_demo import host
from lacet_demo.corpus import Memory
from lacet_demo.graph_view import semantic_degrees


def forget_demo(graph: Any, ext: Any, service: Any, count: int, cap: int) -> dict[str, Any]:
    ids = [n.id for n in graph.all_nodes()]
    count = min(count, len(ids))
    rng = np.random.default_rng(7)
    forgotten = sorted(rng.choice(ids, size=count, replace=False).tolist()) if count else []
    kept_nodes = {fid: graph.get_node(fid) for fid in forgotten}
    before = (len(ext._candidate_ids), len(ext._node_lookup))
    edges_before = graph.edge_count
    host.forget(graph, ext, forgotten)
    after = (len(ext._candidate_ids), len(ext._node_lookup))
    gone = set(forgotten)
    still_indexed = sorted(gone & ext._candidate_ids | gone & set(ext._node_lookup))
    print(f"\nForgetting {count} memories (removed from the graph, then ext.on_forget):")
    print(f"  edges in the graph       : {edges_before:,} -> {graph.edge_count:,}")
    print(f"  candidate index size     : {before[0]:,} -> {after[0]:,} ids, "
          f"{before[1]:,} -> {after[1]:,} lookup entries")
    print(f"  forgotten ids still indexed: {len(still_indexed)}")

    # Ask the search about each forgotten memory's own embedding: while it was
    # indexed it was its own best match. Afterwards none may come back.
    returned_forgotten: set[str] = set()
    probes = forgotten[:5]
    for fid in probes:
        hits = service.find_similar(kept_nodes[fid], [], top_k=10, threshold=None,
                                    exclude_self=False, candidate_ids=ext._candidate_ids,
                                    node_lookup=ext._node_lookup)
        hit_ids = [n.id for n, _ in hits]
        returned_forgotten |= gone & set(hit_ids)
        best = hits[0] if hits else None
        shown = f"{best[0].id} ({best[1]:.3f})" if best else "none"
        print(f"  search with {fid}'s own embedding: best hit {shown}; "
              f"forgotten ids among top 10: {len(gone & set(hit_ids))}")
    # New memories carrying the forgotten embeddings: their edges must avoid the forgotten ids.
    linked_to_forgotten = 0
    for k, fid in enumerate(probes):
        old = kept_nodes[fid]
        probe = host.as_node(Memory(f"probe-{k}", f"probe of {fid}", old.content,
                                    old.content_embedding))
        host.store(graph, [probe])
        res = host.link(graph, ext, [probe])
        linked_to_forgotten += sum(1 for e in res.created
                                   if e.source_node in gone or e.target_node in gone)
    print(f"  {len(probes)} new memories with forgotten embeddings ingested: "
          f"edges to forgotten memories = {linked_to_forgotten}")
    degs = semantic_degrees(graph)
    max_deg = max(degs.values(), default=0)
    print(f"  semantic degree max after forgetting and probing: {max_deg} (cap {cap})")
    return {"forgotten": forgotten, "index_before": before, "index_after": after,
            "still_indexed": still_indexed, "returned_forgotten": sorted(returned_forgotten),
            "linked_to_forgotten": linked_to_forgotten, "max_degree_after": max_deg}
