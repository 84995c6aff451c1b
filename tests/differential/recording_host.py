"""A recording stand-in for the host side of vantor_lacet.

Everything the extension can see of the host (edge model, graph, similarity
service, retriever module, log records) is appended to one trace list per
world, described by stable values only (edge ids, node labels, serials), so
two worlds driven by the same operations can be compared event by event.
"""
from __future__ import annotations

import logging
import random
import types

HOST_EDGE_NAMES = ("MemoryEdge", "RelationshipMetadata", "RelationshipType", "WeightMetadata", "share_edge_fields_set")
LOGGER_NAME = "vantor_lacet.former"
RETRIEVER_MODULE = "vantor.agents.gossip_retriever"


class HostAbort(BaseException):
    """A host failure outside the Exception hierarchy (like an interrupt)."""


class Recorder:
    def __init__(self, node_reads=True):
        self.trace = []
        self.ext = None
        self.node_reads = node_reads

    def add(self, *event):
        self.trace.append(event)


# ---------------------------------------------------------------- describing


def describe(value):
    if value is None or isinstance(value, (bool, int, str)):
        return (type(value).__name__, repr(value))
    if isinstance(value, float):
        return ("float", repr(value))
    describer = getattr(type(value), "_describe", None)
    if describer is not None:
        return describer(value)
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [describe(v) for v in value])
    if isinstance(value, (set, frozenset)):
        return (type(value).__name__, sorted(describe(v) for v in value))
    if isinstance(value, dict):
        return ("dict", [(describe(k), describe(v)) for k, v in value.items()])
    if isinstance(value, BaseException):
        return ("exc", type(value).__name__, describe(value.args))
    if hasattr(value, "created") and hasattr(value, "evicted_edge_ids"):
        return ("result", type(value).__name__, describe(value.created), describe(value.evicted_edge_ids))
    return ("object", type(value).__name__)


def describe_kwargs(kwargs):
    return [(k, describe(v)) for k, v in kwargs.items()]


# ---------------------------------------------------------------- nodes


class RecNode:
    """A host node; reads of `id` and `content_embedding` are recorded."""

    def __init__(self, rec, node_id, embedding, serial):
        self._rec = rec
        self._id = node_id
        self._emb = embedding
        self._label = f"{node_id}#{serial}"

    @property
    def id(self):
        if self._rec.node_reads:
            self._rec.add("node.id", self._label)
        return self._id

    @property
    def content_embedding(self):
        if self._rec.node_reads:
            self._rec.add("node.content_embedding", self._label)
        return self._emb

    def _describe(self):
        return ("node", self._label)


EMBEDDINGS = {"vec": lambda: [0.25, 0.5], "empty": lambda: [], "none": lambda: None}


# ---------------------------------------------------------------- edge model


class _Member:
    __slots__ = ("name",)

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"RelationshipType.{self.name}"

    def _describe(self):
        return ("RT", self.name)


class _RecordingTypeMeta(type):
    def __getattribute__(cls, name):
        if name in ("TEMPORAL", "SEMANTIC", "CAUSAL"):
            type.__getattribute__(cls, "_rec").add("RelationshipType." + name)
        return type.__getattribute__(cls, name)


class EdgeModel:
    """The five names of vantor.core.edge, recording into one world's trace."""

    def __init__(self, rec):
        self.rec = rec
        self.temporal = _Member("TEMPORAL")
        self.semantic = _Member("SEMANTIC")
        self.causal = _Member("CAUSAL")
        self._edge_serial = 0
        self._host_serial = 0
        self._rm_serial = 0
        self._wm_serial = 0
        model = self

        self.RelationshipType = _RecordingTypeMeta(
            "RelationshipType", (), {"_rec": rec, "TEMPORAL": self.temporal, "SEMANTIC": self.semantic, "CAUSAL": self.causal}
        )

        class RelationshipMetadata:
            def __init__(self, *args, **kwargs):
                rec.add("RelationshipMetadata", describe(args), describe_kwargs(kwargs))
                self._init(kwargs)

            def _init(self, kwargs):
                model._rm_serial += 1
                self.serial = model._rm_serial
                self.type = kwargs.get("type")
                self.subtype = kwargs.get("subtype")
                self.description = kwargs.get("description")
                self.bidirectional = kwargs.get("bidirectional", False)

            def _describe(self):
                return ("rm", self.serial)

        class WeightMetadata:
            def __init__(self, *args, **kwargs):
                same = "current" in kwargs and "initial" in kwargs and kwargs["current"] is kwargs["initial"]
                rec.add("WeightMetadata", describe(args), describe_kwargs(kwargs), ("current is initial", same))
                self._init(kwargs)

            def _init(self, kwargs):
                model._wm_serial += 1
                self.serial = model._wm_serial
                self.current = kwargs.get("current", 0.5)
                self.initial = kwargs.get("initial", 0.5)

            def _describe(self):
                return ("wm", self.serial)

        class MemoryEdge:
            def __init__(self, *args, **kwargs):
                rec.add("MemoryEdge", describe(args), describe_kwargs(kwargs))
                model._edge_serial += 1
                self._init(f"e{model._edge_serial}", kwargs)

            def _init(self, edge_id, kwargs):
                self.id = edge_id
                self.shared = False
                self.source_node = kwargs.get("source_node")
                self.target_node = kwargs.get("target_node")
                self.relationship = kwargs.get("relationship")
                weight = kwargs.get("weight")
                if weight is None:
                    weight = WeightMetadata.__new__(WeightMetadata)
                    weight._init({})
                self.weight = weight

            def _describe(self):
                return ("edge", self.id, "shared" if self.shared else "raw")

        def share_edge_fields_set(*args, **kwargs):
            rec.add("share_edge_fields_set", describe(args), describe_kwargs(kwargs))
            edge = args[0]
            # The host hands back a different object than it was given, so an
            # extension that reports or adds the raw edge shows in the trace.
            shared = MemoryEdge.__new__(MemoryEdge)
            shared.__dict__.update(edge.__dict__)
            shared.shared = True
            return shared

        self.RelationshipMetadata = RelationshipMetadata
        self.WeightMetadata = WeightMetadata
        self.MemoryEdge = MemoryEdge
        self.share_edge_fields_set = share_edge_fields_set

    def host_edge(self, source, target, rtype, subtype, weight):
        """An edge made by the host itself (not through the extension)."""
        self._host_serial += 1
        rel = self.RelationshipMetadata.__new__(self.RelationshipMetadata)
        rel._init({"type": rtype, "subtype": subtype})
        w = self.WeightMetadata.__new__(self.WeightMetadata)
        w._init({"current": weight, "initial": weight})
        edge = self.MemoryEdge.__new__(self.MemoryEdge)
        edge._init(f"h{self._host_serial}", {"source_node": source, "target_node": target, "relationship": rel, "weight": w})
        return edge

    def bind(self, former):
        for name in HOST_EDGE_NAMES:
            setattr(former, name, getattr(self, name))


# ---------------------------------------------------------------- graph


class RecGraph:
    def __init__(self, rec):
        self.rec = rec
        self.nodes = {}
        self.edges = {}
        self.add_edge_faults = []

    # host side, not part of what the extension sees
    def host_put_node(self, node):
        self.rec.add("host.put_node", node._label)
        self.nodes[node._id] = node

    def host_remove_node(self, node_id):
        self.rec.add("host.remove_node", node_id)
        self.nodes.pop(node_id, None)
        for eid in [eid for eid, e in self.edges.items() if node_id in (e.source_node, e.target_node)]:
            del self.edges[eid]

    def host_add_edge(self, edge):
        self.rec.add("host.add_edge", edge.id)
        self.edges[edge.id] = edge

    def find(self, a_id, b_id):
        for e in self.edges.values():
            if e.source_node == a_id and e.target_node == b_id:
                return e
        return None

    # the graph interface
    def all_nodes(self, *args, **kwargs):
        self.rec.add("graph.all_nodes", describe(args), describe_kwargs(kwargs))
        return iter(list(self.nodes.values()))

    def has_node(self, *args, **kwargs):
        self.rec.add("graph.has_node", describe(args), describe_kwargs(kwargs))
        return args[0] in self.nodes

    def add_edge(self, *args, **kwargs):
        self.rec.add("graph.add_edge", describe(args), describe_kwargs(kwargs))
        if self.add_edge_faults:
            raise self.add_edge_faults.pop(0)
        edge = args[0]
        for end in (edge.source_node, edge.target_node):
            if end not in self.nodes:
                raise KeyError(end)
        if edge.id in self.edges:
            raise ValueError(f"edge {edge.id} already stored")
        if self.find(edge.source_node, edge.target_node) is not None:
            raise ValueError(f"{edge.source_node} -> {edge.target_node} already joined")
        self.edges[edge.id] = edge

    def get_edge_between(self, *args, **kwargs):
        self.rec.add("graph.get_edge_between", describe(args), describe_kwargs(kwargs))
        return self.find(args[0], args[1])

    def get_edges_for_node(self, *args, **kwargs):
        self.rec.add("graph.get_edges_for_node", describe(args), describe_kwargs(kwargs))
        node_id = args[0]
        return iter([e for e in self.edges.values() if node_id in (e.source_node, e.target_node)])

    def remove_edge(self, *args, **kwargs):
        self.rec.add("graph.remove_edge", describe(args), describe_kwargs(kwargs))
        del self.edges[args[0]]


# ---------------------------------------------------------------- similarity service

ODD_ITEMS = ("self", "dup", "numstr", "nan", "none_sim", "none_item", "triple", "badstr")


class RecService:
    def __init__(self, rec, seed):
        self.rec = rec
        self.seed = seed
        self.digits = 1 if seed % 2 else 3  # coarse scores make weight ties common
        self.faults = []
        self._last_scratch = None

    def similarity(self, a, b):
        lo, hi = sorted((a, b))
        return round(random.Random(f"{self.seed}:{lo}:{hi}").random(), self.digits)

    def find_similar(self, *args, **kwargs):
        ext = self.rec.ext
        scratch = args[1] if len(args) > 1 else None
        cand = kwargs.get("candidate_ids")
        lookup = kwargs.get("node_lookup")
        self.rec.add(
            "service.find_similar",
            describe(args),
            tuple(kwargs),
            describe(kwargs.get("top_k")),
            describe(kwargs.get("threshold")),
            describe(kwargs.get("exclude_self")),
            ("candidate_ids is own", ext is not None and cand is ext._candidate_ids),
            ("node_lookup is own", ext is not None and lookup is ext._node_lookup),
            ("fresh scratch", scratch is not self._last_scratch),
            describe(cand),
            sorted(lookup) if isinstance(lookup, dict) else None,
        )
        self._last_scratch = scratch
        node = args[0]
        fault = self.faults.pop(0) if self.faults else None
        if fault == "raise":
            raise RuntimeError("similarity backend down")
        if fault == "abort":
            raise HostAbort("search interrupted")
        if fault == "none":
            return None
        top_k = kwargs["top_k"]
        threshold = kwargs["threshold"]
        found = []
        for cid in sorted(cand):
            if kwargs.get("exclude_self") and cid == node._id:
                continue
            sim = self.similarity(node._id, cid)
            if sim >= threshold:
                found.append((lookup[cid], sim))
        if self.seed % 3:
            found.sort(key=lambda item: -item[1])  # else: candidate id order, weakest first at times
        if isinstance(top_k, int) and top_k > 0:
            found = found[:top_k]
        if isinstance(fault, tuple):
            found = self.oddify(node, lookup, found, fault)
        return found

    @staticmethod
    def oddify(node, lookup, found, odd):
        spare = [lookup[k] for k in sorted(lookup)] or [node]
        for i, kind in enumerate(odd):
            other = found[0][0] if found else spare[i % len(spare)]
            if kind == "self":
                found.insert(0, (node, 0.99))
            elif kind == "dup":
                found.append(found[0] if found else (other, 0.95))
            elif kind == "numstr":
                found.append((other, "0.82"))
            elif kind == "nan":
                found.insert(0, (other, float("nan")))
            elif kind == "none_sim":
                found.append((other, None))
            elif kind == "none_item":
                found.append(None)
            elif kind == "triple":
                found.append((other, 0.9, "extra"))
            elif kind == "badstr":
                found.append((other, "high"))
        return found


# ---------------------------------------------------------------- retriever


def make_retriever(rec, max_results_ceiling, seed_count_ceiling):
    module = types.ModuleType(RETRIEVER_MODULE)
    serial = [0]

    class RetrievalContext:
        def __init__(self, *args, **kwargs):
            rec.add("RetrievalContext", describe(args), describe_kwargs(kwargs))
            serial[0] += 1
            self.serial = serial[0]
            self.kwargs = kwargs

        def _describe(self):
            return ("ctx", self.serial, describe_kwargs(self.kwargs))

    module.MAX_RESULTS_CEILING = max_results_ceiling
    module.SEED_COUNT_CEILING = seed_count_ceiling
    module.RetrievalContext = RetrievalContext
    return module


# ---------------------------------------------------------------- logging


class TraceHandler(logging.Handler):
    """Sends records of the extension's logger to the active world's trace."""

    def __init__(self):
        super().__init__(level=logging.DEBUG)
        self.target = None

    def emit(self, record):
        if self.target is None:
            return
        exc = record.exc_info[1] if record.exc_info else None
        self.target.add(
            "log",
            record.levelname,
            record.msg,
            describe(record.args),
            None if exc is None else (type(exc).__name__, describe(exc.args)),
        )
