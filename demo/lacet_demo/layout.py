"""The neighbourhood picture's content and placement: which memories around a
centre are drawn, and where (networkx's spring layout, the centre held still)."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import networkx as nx
import numpy as np

from lacet_demo.graph_view import SEMANTIC, TEMPORAL, semantic_neighbours


def two_hop(graph: Any, centre: str, per_neighbour: int = 3) -> tuple[list[str], list[str], dict[str, str]]:
    """The centre's semantic neighbours, and the strongest few further neighbours of each."""
    ring1 = [o for o, _ in semantic_neighbours(graph, centre)]
    ring2: list[str] = []
    parent: dict[str, str] = {}
    for r in ring1:
        taken = 0
        for o, _ in semantic_neighbours(graph, r):
            if o == centre or o in ring1 or o in parent:
                continue
            parent[o] = r
            ring2.append(o)
            taken += 1
            if taken == per_neighbour:
                break
    return ring1, ring2, parent


def pick_drawing_centre(graph: Any, degrees: dict[str, int], cap: int) -> str:
    """The memory with the largest two-step neighbourhood, at most ~25 memories so labels stay legible."""
    best, best_key = None, None
    for node_id, deg in degrees.items():
        if deg < 3:
            continue
        ring1, ring2, _ = two_hop(graph, node_id)
        size = len(ring1) + len(ring2)
        key = (min(size, 25), -abs(size - 25), deg)
        if best_key is None or key > best_key:
            best, best_key = node_id, key
    return best if best is not None else max(degrees, key=lambda i: degrees[i])


@dataclass
class Neighbourhood:
    centre: str
    ring1: list[str]                 # the centre's semantic neighbours
    ring2: list[str]                 # their strongest few neighbours
    chain: list[str]                 # chained to the centre only
    parent: dict[str, str]           # ring2 member -> its ring1 neighbour
    semantic: list[tuple[str, str, float]] = field(default_factory=list)  # (a, b, similarity)
    chained: list[tuple[str, str]] = field(default_factory=list)          # (earlier, later)

    @property
    def nodes(self) -> list[str]:
        return [self.centre] + self.ring1 + self.ring2 + self.chain


def neighbourhood(graph: Any, centre: str, per_neighbour: int = 3) -> Neighbourhood:
    ring1, ring2, parent = two_hop(graph, centre, per_neighbour)
    chain = []  # the memories chained directly to the centre
    for e in graph.get_edges_for_node(centre):
        if e.relationship.type == TEMPORAL:
            other = e.target_node if e.source_node == centre else e.source_node
            if other not in ring1 and other not in parent:
                chain.append(other)
    hood = Neighbourhood(centre, ring1, ring2, chain, parent)
    members = set(hood.nodes)
    seen = set()
    for nid in hood.nodes:
        for e in graph.get_edges_for_node(nid):
            if e.id in seen or e.source_node not in members or e.target_node not in members:
                continue
            seen.add(e.id)
            if e.relationship.type == SEMANTIC:
                hood.semantic.append((e.source_node, e.target_node, float(e.weight.current)))
            elif e.relationship.type == TEMPORAL:
                hood.chained.append((e.source_node, e.target_node))
    return hood


def place(hood: Neighbourhood, seed: int = 0) -> dict[str, np.ndarray]:
    """Positions: a spring layout started from rings around the centre (so it
    settles the same way each run), the centre held at the origin, stronger
    similarities pulling harder."""
    start: dict[str, np.ndarray] = {hood.centre: np.zeros(2)}
    for j, r in enumerate(hood.ring1):
        ang = 2 * np.pi * j / max(len(hood.ring1), 1)
        start[r] = np.array([np.cos(ang), np.sin(ang)])
    for o in hood.ring2:
        p = start[hood.parent[o]]
        sib = [x for x in hood.ring2 if hood.parent[x] == hood.parent[o]]
        ang = np.arctan2(p[1], p[0]) + 0.5 * (sib.index(o) - (len(sib) - 1) / 2)
        start[o] = 2.1 * np.array([np.cos(ang), np.sin(ang)])
    for j, c in enumerate(hood.chain):
        start[c] = np.array([0.0, 0.8 if j == 0 else -0.8])
    g = nx.Graph()
    g.add_nodes_from(hood.nodes)
    g.add_weighted_edges_from((a, b, 0.5 + w) for a, b, w in hood.semantic)
    g.add_weighted_edges_from((a, b, 1.5) for a, b in hood.chained)
    return nx.spring_layout(g, pos=start, fixed=[hood.centre], k=2.4 / np.sqrt(len(g)),
                            weight="weight", iterations=200, seed=seed)
