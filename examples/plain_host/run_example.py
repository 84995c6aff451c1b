"""The plain host end to end: a stream of memories, a batch, a forget, a restart over
the saved graph, and the retrieval parameters, with the graph's invariants checked
after every step. Exits non-zero, naming the broken invariant, if one does not hold.

    python examples/plain_host/run_example.py
"""
from __future__ import annotations

import logging
import random
import sys
from collections import Counter
from collections.abc import Iterator

import vantor_lacet
from vantor.agents.gossip_retriever import MAX_RESULTS_CEILING, SEED_COUNT_CEILING, RetrievalContext
from vantor.core.edge import MemoryEdge, RelationshipMetadata, RelationshipType, share_edge_fields_set

from plain_host import DictGraph, ExactSearch, Memory

CAP = 3
TOPICS = 5
DIM = 6


class Broken(Exception):
    pass


def check(holds: bool, what: str) -> None:
    if not holds:
        raise Broken(what)


class Host:
    """The host's side: its graph, its search, the extension, and the order of ingest."""

    def __init__(self, graph: DictGraph, config: vantor_lacet.LacetConfig,
                 last_ingested: str | None = None) -> None:
        self.graph = graph
        self.search = ExactSearch()
        self.ext = vantor_lacet.build_extension(self.search, graph, config)
        # Pairs (previous, next) that the chain must hold while both memories live.
        self.chain: list[tuple[str, str]] = []
        self.last_ingested = last_ingested
        self.evicted: list[str] = []

    def note_ingest(self, node: Memory) -> None:
        if self.last_ingested is not None and self.graph.has_node(self.last_ingested) \
                and self.last_ingested != node.id:
            self.chain.append((self.last_ingested, node.id))
        self.last_ingested = node.id

    def apply(self, result: vantor_lacet.LacetIngestResult) -> None:
        graph = self.graph
        with_embedding = {n.id for n in graph.nodes.values() if n.content_embedding is not None}
        check(self.search.last_candidates <= with_embedding,
              "every candidate offered to the search is in the graph and has an embedding")
        self.search.last_candidates = frozenset()
        for edge in result.created:
            check(edge.relationship.type in (RelationshipType.SEMANTIC, RelationshipType.TEMPORAL),
                  "created edges are chain or semantic edges")
        for edge_id in result.evicted_edge_ids:
            check(edge_id not in graph.edges, f"evicted edge {edge_id} left the graph")
        self.evicted += result.evicted_edge_ids

    def ingest(self, node: Memory) -> vantor_lacet.LacetIngestResult:
        self.graph.add_node(node)          # the graph first, then the package
        self.note_ingest(node)
        result = self.ext.on_ingest(self.graph, node)
        self.apply(result)
        return result

    def ingest_batch(self, nodes: list[Memory]) -> vantor_lacet.LacetIngestResult:
        for node in nodes:
            self.graph.add_node(node)
        for node in nodes:
            self.note_ingest(node)
        result = self.ext.on_ingest_batch(self.graph, (n for n in nodes))   # any iterable
        self.apply(result)
        return result

    def forget(self, node_ids: list[str]) -> None:
        for node_id in node_ids:
            self.graph.remove_node(node_id)
        self.ext.on_forget(set(node_ids))  # any iterable of ids
        if self.last_ingested in node_ids:
            self.last_ingested = None

    def invariants(self) -> None:
        graph = self.graph
        edges = list(graph.edges.values())
        check(len({e.id for e in edges}) == len(edges), "edge ids are unique")
        pairs = Counter(frozenset((e.source_node, e.target_node)) for e in edges)
        check(all(n == 1 for n in pairs.values()), "at most one edge between two memories")
        cap = self.ext.config.max_semantic_edges_per_node
        for node_id in graph.nodes:
            semantic = [e for e in graph.get_edges_for_node(node_id)
                        if e.relationship.type == RelationshipType.SEMANTIC]
            check(cap is None or len(semantic) <= cap,
                  f"{node_id} holds {len(semantic)} semantic edges, cap {cap}")
        chain = {(e.source_node, e.target_node) for e in edges
                 if e.relationship.type == RelationshipType.TEMPORAL}
        expected = {(a, b) for a, b in self.chain if a in graph.nodes and b in graph.nodes}
        check(chain == expected, "the chain follows the order of ingest")
        for e in edges:
            if e.relationship.type == RelationshipType.SEMANTIC:
                check(e.relationship.subtype == "auto_discovered" and e.weight.current == e.weight.initial,
                      "semantic edges carry their similarity")


def retrieval(host: Host, max_results: int) -> RetrievalContext:
    return host.ext.retrieval_context(max_results=max_results)


def memories(rng: random.Random, prefix: str, count: int) -> Iterator[Memory]:
    centres = [[rng.gauss(0, 1) for _ in range(DIM)] for _ in range(TOPICS)]
    for i in range(count):
        if i % 11 == 10:
            yield Memory(f"{prefix}{i}", "a memory without an embedding")
            continue
        topic = i % TOPICS
        vector = [c + rng.gauss(0, 0.35) for c in centres[topic]]
        yield Memory(f"{prefix}{i}", f"topic {topic}", vector)


def main() -> int:
    logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")
    rng = random.Random(7)
    config = vantor_lacet.LacetConfig(similarity_threshold=0.5, max_semantic_edges_per_node=CAP)

    host = Host(DictGraph(), config)
    stream = list(memories(rng, "m", 60))
    for node in stream[:40]:
        host.ingest(node)
        host.invariants()

    batch = host.ingest_batch(stream[40:])
    host.invariants()
    check(any(e.relationship.type == RelationshipType.SEMANTIC for e in batch.created),
          "the batch formed semantic edges")

    # Forget every tenth memory.
    gone = [n.id for n in stream[::10]]
    host.forget(gone)
    host.invariants()

    # Restart: save the graph, load it in a "new process" with a new extension, and
    # carry the chain over the restart as the host contract describes.
    saved, last = host.graph.to_json(), host.last_ingested
    before = len(host.graph.edges)
    evicted_before = len(host.evicted)
    host = Host(DictGraph.from_json(saved), config, last_ingested=last)
    host.chain = [(e.source_node, e.target_node) for e in host.graph.edges.values()
                  if e.relationship.type == RelationshipType.TEMPORAL]
    check(len(host.graph.edges) == before, "the graph reloads whole")
    later = list(memories(rng, "r", 25))
    first_after = later[0]
    host.graph.add_node(first_after)
    if last is not None and host.graph.has_node(last) and last != first_after.id:
        host.graph.add_edge(share_edge_fields_set(MemoryEdge(
            source_node=last, target_node=first_after.id,
            relationship=RelationshipMetadata(type=RelationshipType.TEMPORAL, subtype="auto_chain",
                                              description="adjacent ingest order"))))
        host.chain.append((last, first_after.id))
    host.last_ingested = first_after.id
    host.apply(host.ext.on_ingest(host.graph, first_after))
    host.invariants()
    for node in later[1:]:
        host.ingest(node)
        host.invariants()
    check(host.search.searches > 0, "the rebuilt extension searched")

    context = retrieval(host, 1000)
    check(isinstance(context, RetrievalContext), "retrieval_context returns the host's record")
    check(context.max_results == MAX_RESULTS_CEILING and context.seed_count == min(5, SEED_COUNT_CEILING),
          "the retrieval parameters stay within the ceilings")
    check(retrieval(host, 0).max_results == 1, "at least one result")

    # With the cap switched off, a new memory links to every similar memory found.
    host.ext.config.max_semantic_edges_per_node = None
    extra = host.ingest(next(memories(random.Random(7), "x", 1)))
    host.invariants()
    check(sum(e.relationship.type == RelationshipType.SEMANTIC for e in extra.created) > CAP,
          "no cap: more semantic edges than the cap allowed")

    graph = host.graph
    kinds = Counter(e.relationship.type.value for e in graph.edges.values())
    print(f"memories {len(graph.nodes)}, edges {len(graph.edges)} "
          f"(semantic {kinds['semantic']}, temporal {kinds['temporal']}), "
          f"evicted {evicted_before + len(host.evicted)}, forgotten {len(gone)}")
    print("invariants held")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Broken as broken:
        print(f"invariant broken: {broken}", file=sys.stderr)
        sys.exit(1)
