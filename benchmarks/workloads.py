"""Workload builders shared by run.py, the callgrind driver and the profiler.

Every builder makes its random data once (seeded) and then hands out fresh
host state for each repetition, so that the native package and the model
ingest exactly the same stream into identical graphs.
"""
from __future__ import annotations

import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
for p in (os.path.join(ROOT, "host_contracts"), os.path.join(ROOT, "tests"), HERE):
    if p not in sys.path:
        sys.path.insert(0, p)

import thin_host  # noqa: E402

EMBEDDING = (1.0,)  # thin nodes: only `is None` is ever asked of it
SEMANTIC_SUBTYPE = "auto_discovered"


def implementations():
    """name -> (package, former module)."""
    import lacet_model
    import lacet_model.former
    import vantor_lacet
    import vantor_lacet.former
    return {"native": (vantor_lacet, vantor_lacet.former),
            "model": (lacet_model, lacet_model.former)}


# -- thin host -----------------------------------------------------------------

class ThinStream:
    """An ingest stream on the thin host.

    `registered` nodes are in the graph (and so in the candidate index) before
    the stream starts; the first `pool` of them are the ones the search returns.
    Each pool node is prefilled with `cap` prunable semantic edges of random
    weight (a ring), so the pool sits at the cap and proposals evict. Each of
    the `n_ingest` new nodes gets `k` distinct pool candidates with uniform
    random similarities.
    """

    def __init__(self, *, n_ingest, pool=4000, registered=None, k=8, cap=8, seed=1, kind=thin_host.SLOTS):
        rng = random.Random(seed)
        registered = max(registered or pool, pool)
        self.cap = cap
        self.k = k
        self.kind = kind
        self.registered = [kind.Node(f"r{i}", EMBEDDING) for i in range(registered)]
        self.pool = self.registered[:pool]
        half = max(cap // 2, 1)
        self.ring = [(i, (i + j) % pool, rng.random()) for i in range(pool) for j in range(1, half + 1)]
        self.stream = [kind.Node(f"n{i}", EMBEDDING) for i in range(n_ingest)]
        self.plans = [[(self.pool[c], rng.random()) for c in rng.sample(range(pool), k)]
                      for _ in range(n_ingest)]

    def fresh(self, pkg):
        """(extension, graph) with the prefilled pool and the stream's nodes in the graph."""
        th = self.kind
        graph = thin_host.Graph(self.registered)
        rel = th.RelationshipMetadata(type=th.RelationshipType.SEMANTIC, subtype=SEMANTIC_SUBTYPE,
                                      bidirectional=True)
        pool = self.pool
        for a, b, w in self.ring:
            graph.add_edge(th.MemoryEdge(source_node=pool[a].id, target_node=pool[b].id,
                                         relationship=rel, weight=th.WeightMetadata(current=w, initial=w)))
        config = pkg.LacetConfig(max_semantic_edges_per_node=self.cap, similarity_threshold=0.0)
        ext = pkg.build_extension(thin_host.Search(self.plans), graph, config)
        for node in self.stream:  # stored by the host, not yet seen by the package
            graph.add_node(node)
        return ext, graph


# -- reference host ------------------------------------------------------------

class ReferenceStream:
    """The same kind of stream on the reference host: MemoryGraph, MemoryNode with
    numpy embeddings and the exact cosine SimilarityService (threshold -1, so the
    search returns top_k = 8 candidates from the whole, growing index)."""

    def __init__(self, *, n_ingest, pool=2000, cap=8, dim=32, seed=2):
        import numpy as np
        from vantor.core.node import MemoryNode
        rng = np.random.default_rng(seed)
        self.cap = cap
        self.dim = dim
        vec = rng.standard_normal((pool + n_ingest, dim)).astype(np.float32)
        self.registered = [MemoryNode(id=f"r{i}", content_embedding=vec[i]) for i in range(pool)]
        self.stream = [MemoryNode(id=f"n{i}", content_embedding=vec[pool + i]) for i in range(n_ingest)]
        half = max(cap // 2, 1)
        w = rng.random(pool * half).tolist()
        self.ring = [(i, (i + j) % pool, w[i * half + j - 1]) for i in range(pool) for j in range(1, half + 1)]

    def fresh(self, pkg):
        from vantor.core.edge import MemoryEdge, RelationshipMetadata, RelationshipType, WeightMetadata
        from vantor.core.graph import MemoryGraph
        from vantor.core.similarity import SimilarityService
        graph = MemoryGraph()
        for node in self.registered:
            graph.add_node(node)
        rel = RelationshipMetadata(type=RelationshipType.SEMANTIC, subtype=SEMANTIC_SUBTYPE, bidirectional=True)
        reg = self.registered
        for a, b, wt in self.ring:
            graph.add_edge(MemoryEdge(source_node=reg[a].id, target_node=reg[b].id, relationship=rel,
                                      weight=WeightMetadata(current=wt, initial=wt)))
        service = SimilarityService(dim=self.dim)
        config = pkg.LacetConfig(max_semantic_edges_per_node=self.cap, similarity_threshold=-1.0)
        ext = pkg.build_extension(service, graph, config)
        # Fill the service's vector cache now, so the timed stream does not pay for it.
        service.find_similar(self.stream[0], [], top_k=1, threshold=None, exclude_self=True,
                             candidate_ids=ext._candidate_ids, node_lookup=ext._node_lookup)
        for node in self.stream:
            graph.add_node(node)
        return ext, graph


# -- large graphs for construction / forget ------------------------------------

def thin_big_graph(n, with_embedding=0.9, seed=3, kind=thin_host.SLOTS):
    rng = random.Random(seed)
    nodes = [kind.Node(f"m{i}", EMBEDDING if rng.random() < with_embedding else None) for i in range(n)]
    return thin_host.Graph(nodes)


def reference_big_graph(n, with_embedding=0.9, seed=3):
    import numpy as np
    from vantor.core.graph import MemoryGraph
    from vantor.core.node import MemoryNode
    rng = random.Random(seed)
    emb = np.ones(4, dtype=np.float32)  # shared: construction only tests it against None
    graph = MemoryGraph()
    for i in range(n):
        graph.add_node(MemoryNode(id=f"m{i}", content_embedding=emb if rng.random() < with_embedding else None))
    return graph


def ingest_all(ext, graph, nodes):
    created = evicted = 0
    on_ingest = ext.on_ingest
    for node in nodes:
        r = on_ingest(graph, node)
        created += len(r.created)
        evicted += len(r.evicted_edge_ids)
    return created, evicted


def ingest_batches(ext, graph, nodes, size):
    created = evicted = 0
    for i in range(0, len(nodes), size):
        r = ext.on_ingest_batch(graph, nodes[i:i + size])
        created += len(r.created)
        evicted += len(r.evicted_edge_ids)
    return created, evicted
