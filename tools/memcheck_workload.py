"""A representative vantor_lacet workload for tools/valgrind_memcheck.sh.

Ingests with evictions, batches, forgets, retrieval contexts and every kind of
host failure the package handles or passes on, on a small in-file host (no
numpy, so that the run under valgrind stays short). Needs host_contracts on
PYTHONPATH for vantor.core.edge and vantor.agents.gossip_retriever.
Usage: python tools/memcheck_workload.py [rounds]
"""
from __future__ import annotations

import gc
import logging
import sys

import vantor_lacet
from vantor_lacet import former


class Abort(BaseException):
    pass


class Node:
    def __init__(self, node_id, embedding=(1.0,)):
        self.id = node_id
        self.content_embedding = embedding


class Graph:
    def __init__(self):
        self.nodes = {}
        self.edges = {}
        self.fail_add = None

    def all_nodes(self):
        return list(self.nodes.values())

    def has_node(self, node_id):
        return node_id in self.nodes

    def add_edge(self, edge):
        if self.fail_add is not None:
            raise self.fail_add("add_edge")
        if edge.source_node not in self.nodes or edge.target_node not in self.nodes:
            raise KeyError(edge.target_node)
        self.edges[edge.id] = edge

    def get_edge_between(self, a_id, b_id):
        for edge in self.edges.values():
            if edge.source_node == a_id and edge.target_node == b_id:
                return edge
        return None

    def get_edges_for_node(self, node_id):
        return [e for e in self.edges.values() if node_id in (e.source_node, e.target_node)]

    def remove_edge(self, edge_id):
        del self.edges[edge_id]


class Service:
    def __init__(self):
        self.mode = None

    def find_similar(self, node, exclude, top_k, threshold, exclude_self, candidate_ids, node_lookup):
        mode = self.mode
        if mode == "raise":
            raise RuntimeError("search")
        if mode == "abort":
            raise Abort()
        if mode == "none":
            return None
        if mode == "triple":
            return [(node, 0.5, 1)]
        if mode == "odd":
            return [(node, 0.9), (node_lookup[next(iter(candidate_ids))], float("nan")),
                    (node_lookup[next(iter(candidate_ids))], "0.95")]
        ranked = sorted(candidate_ids)[: top_k or None]
        return ((node_lookup[c], (hash((node.id, c)) % 1000) / 1000) for c in ranked)


def run(rounds):
    logger = logging.getLogger("vantor_lacet.former")
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    logger.setLevel(logging.DEBUG)
    ops = 0
    for r in range(rounds):
        graph = Graph()
        for i in range(12):
            graph.nodes[f"n{r}-{i}"] = Node(f"n{r}-{i}", None if i % 5 == 0 else (1.0, float(i)))
        service = Service()
        ext = vantor_lacet.build_extension(service, graph, former.LacetConfig(max_semantic_edges_per_node=2))
        nodes = list(graph.nodes.values())
        for node in nodes:
            ext.on_ingest(graph, node)
            ops += 1
        ext.on_ingest_batch(graph, iter(nodes[:6]))
        ext.on_forget([n.id for n in nodes[::3]])
        ext.retrieval_context(r)
        ext.retrieval_context("12")
        ops += 4
        for fail in (ValueError, KeyError):
            graph.fail_add = fail
            ext.on_ingest(graph, nodes[1])
            ext.on_ingest(graph, nodes[2])
            ops += 2
        for fail in (TypeError, Abort):
            graph.fail_add = fail
            try:
                ext.on_ingest(graph, nodes[3])
            except (TypeError, Abort):
                pass
            ops += 1
        graph.fail_add = None
        for mode in ("raise", "none", "triple", "odd", "abort"):
            service.mode = mode
            try:
                ext.on_ingest(graph, nodes[4])
                ext.on_ingest_batch(graph, nodes[4:8])
            except (TypeError, ValueError, Abort):
                pass
            ops += 2
        service.mode = None
        for bad in (lambda: ext.retrieval_context(None), lambda: ext.on_forget([[]]),
                    lambda: ext.on_ingest(graph), lambda: former.LacetExtension(service, None)):
            try:
                bad()
            except (TypeError, AttributeError):
                pass
            ops += 1
        # a cycle through the index, left to the collector
        cycle = Node("cycle")
        cycle.ext = ext
        ext.on_ingest(graph, cycle)
        del ext, cycle
        gc.collect()
    return ops


if __name__ == "__main__":
    done = run(int(sys.argv[1]) if len(sys.argv) > 1 else 20)
    print(f"memcheck workload done: {done} operations")
