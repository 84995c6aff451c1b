"""Hosts whose calls cost as little as Python allows, in two kinds.

Both share the graph and the search: the graph keeps one list of edges per
node and hands that very list out, and the similarity search returns a
precomputed list of pairs, so its cost does not depend on the size of the
candidate index. With these hosts the time of an ingest is mostly the
package's own.

They differ in the objects the package reads and makes:

- ``SLOTS``: nodes and edge records with ``__slots__`` and Python
  ``__init__`` methods;
- ``DICT``: attributes in instance dictionaries, as most hosts keep them:
  dataclass nodes and weights (generated Python ``__init__``), a plain class
  for edges (a hand-written ``__init__``) and a SimpleNamespace subclass for
  the relationship (a C constructor).

The five edge names (``MemoryEdge``, ``RelationshipMetadata``,
``RelationshipType``, ``WeightMetadata``, ``share_edge_fields_set``) of one
kind are plugged into an implementation by rebinding them in its ``former``
module; see :func:`plugged`.
"""
from __future__ import annotations

import contextlib
import dataclasses
import sys
import types
from itertools import count

EDGE_NAMES = ("MemoryEdge", "RelationshipMetadata", "RelationshipType", "WeightMetadata",
              "share_edge_fields_set")


class RelationshipType:
    # Plain interned strings: `==` between them is a pointer compare in C.
    TEMPORAL = "temporal"
    SEMANTIC = "semantic"
    CAUSAL = "causal"
    ASSOCIATIVE = "associative"


def share_edge_fields_set(edge):
    return edge


_edge_ids = count(1)

# -- the __slots__ kind --------------------------------------------------------


class RelationshipMetadata:
    __slots__ = ("type", "subtype", "description", "bidirectional")

    def __init__(self, type, subtype=None, description=None, bidirectional=False):
        self.type = type
        self.subtype = subtype
        self.description = description
        self.bidirectional = bidirectional


class WeightMetadata:
    __slots__ = ("current", "initial")

    def __init__(self, current=0.5, initial=0.5):
        self.current = current
        self.initial = initial


class MemoryEdge:
    __slots__ = ("source_node", "target_node", "relationship", "weight", "id")

    def __init__(self, source_node, target_node, relationship, weight=None):
        self.source_node = source_node
        self.target_node = target_node
        self.relationship = relationship
        self.weight = WeightMetadata() if weight is None else weight
        self.id = next(_edge_ids)


class Node:
    __slots__ = ("id", "content_embedding")

    def __init__(self, id, content_embedding=None):
        self.id = id
        self.content_embedding = content_embedding


SLOTS = types.SimpleNamespace(
    name="slots",
    MemoryEdge=MemoryEdge,
    RelationshipMetadata=RelationshipMetadata,
    RelationshipType=RelationshipType,
    WeightMetadata=WeightMetadata,
    share_edge_fields_set=share_edge_fields_set,
    Node=Node,
)
edge_module = SLOTS  # the default kind, under its old name

# -- the instance-dictionary kind ------------------------------------------------


class DictRelationshipMetadata(types.SimpleNamespace):
    """type, subtype, description, bidirectional: whatever the caller passes."""


@dataclasses.dataclass
class DictWeightMetadata:
    current: float = 0.5
    initial: float = 0.5


class DictMemoryEdge:
    def __init__(self, source_node, target_node, relationship, weight=None):
        self.source_node = source_node
        self.target_node = target_node
        self.relationship = relationship
        self.weight = DictWeightMetadata() if weight is None else weight
        self.id = next(_edge_ids)


@dataclasses.dataclass(eq=False)
class DictNode:
    id: str
    content_embedding: object = None


DICT = types.SimpleNamespace(
    name="dict",
    MemoryEdge=DictMemoryEdge,
    RelationshipMetadata=DictRelationshipMetadata,
    RelationshipType=RelationshipType,
    WeightMetadata=DictWeightMetadata,
    share_edge_fields_set=share_edge_fields_set,
    Node=DictNode,
)
KINDS = {"slots": SLOTS, "dict": DICT}


class Graph:
    """Directed graph: dicts of nodes and edges, one edge list per node (handed
    out as is by `get_edges_for_node`), and the first edge per ordered pair."""

    # `has_node` and `get_edges_for_node` are the bound builtin lookups of the
    # two dicts (every node the package asks about is in the graph).
    __slots__ = ("_nodes", "_edges", "_incident", "_between", "has_node", "get_edges_for_node")

    def __init__(self, nodes=()):
        self._nodes = {}
        self._edges = {}
        self._incident = {}
        self._between = {}
        self.has_node = self._nodes.__contains__
        self.get_edges_for_node = self._incident.__getitem__
        for node in nodes:
            self.add_node(node)

    def add_node(self, node):
        self._nodes[node.id] = node
        self._incident[node.id] = []

    def all_nodes(self):
        return list(self._nodes.values())

    def add_edge(self, edge):
        source, target = edge.source_node, edge.target_node
        incident = self._incident
        self._edges[edge.id] = edge
        incident[source].append(edge)
        if target != source:
            incident[target].append(edge)
        self._between.setdefault((source, target), edge)

    def get_edge_between(self, a_id, b_id):
        return self._between.get((a_id, b_id))

    def remove_edge(self, edge_id):
        edge = self._edges.pop(edge_id)
        source, target = edge.source_node, edge.target_node
        self._incident[source].remove(edge)
        if target != source:
            self._incident[target].remove(edge)
        key = (source, target)
        if self._between.get(key) is edge:
            del self._between[key]

    @property
    def edge_count(self):
        return len(self._edges)


class Search:
    """`find_similar` that hands out precomputed result lists in turn, O(1) per call."""

    __slots__ = ("_plans", "_next")

    def __init__(self, plans):
        self._plans = plans
        self._next = 0

    def find_similar(self, node, exclude=None, top_k=None, threshold=None, exclude_self=True,
                     candidate_ids=None, node_lookup=None):
        i = self._next
        self._next = i + 1
        return self._plans[i]


class RetrievalContext:
    __slots__ = ("seed_count", "max_iterations", "max_results", "degree_normalization",
                 "use_volume_termination", "strengthen_on_retrieval", "coverage_harvest",
                 "coverage_gossip_weight")

    def __init__(self, seed_count, max_iterations, max_results, degree_normalization,
                 use_volume_termination, strengthen_on_retrieval, coverage_harvest,
                 coverage_gossip_weight):
        self.seed_count = seed_count
        self.max_iterations = max_iterations
        self.max_results = max_results
        self.degree_normalization = degree_normalization
        self.use_volume_termination = use_volume_termination
        self.strengthen_on_retrieval = strengthen_on_retrieval
        self.coverage_harvest = coverage_harvest
        self.coverage_gossip_weight = coverage_gossip_weight


retriever_module = types.ModuleType("vantor.agents.gossip_retriever")
retriever_module.MAX_RESULTS_CEILING = 50
retriever_module.SEED_COUNT_CEILING = 10
retriever_module.RetrievalContext = RetrievalContext


@contextlib.contextmanager
def plugged(*former_modules, kind=SLOTS):
    """Rebind the five edge names in each `former` module to those of `kind`
    (and the retriever module in sys.modules); restore everything on exit."""
    saved = [(m, {n: m.__dict__[n] for n in EDGE_NAMES}) for m in former_modules]
    key = "vantor.agents.gossip_retriever"
    had_retriever = key in sys.modules
    old_retriever = sys.modules.get(key)
    try:
        for m in former_modules:
            for n in EDGE_NAMES:
                setattr(m, n, getattr(kind, n))
        sys.modules[key] = retriever_module
        yield
    finally:
        for m, names in saved:
            for n, v in names.items():
                setattr(m, n, v)
        if had_retriever:
            sys.modules[key] = old_retriever
        else:
            sys.modules.pop(key, None)
