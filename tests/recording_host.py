"""One configurable stand-in for the host side of vantor_lacet.

Every call the package makes on the host (graph, similarity service, edge
model, retriever module) goes through `Recorder.enter`: it is recorded in the
trace (described by stable values only: edge ids, node labels, serials, so
that two worlds driven by the same operations can be compared event by
event), then a hook registered for it runs, then a fault registered for it
is raised, and only then does the host do its own work. Adding a host call
means adding one method here, and accepting the call in the other stand-in
hosts (docs/developing.md, "Changing the native code", lists them).

Hooks and faults are keyed by the recorded name ("graph.add_edge",
"service.find_similar", ...). A Recorder made with keep=False records
nothing, so a graph can run in loops whose reference counts are checked.
"""
from __future__ import annotations

import contextlib
import logging
import random
import sys
import types

HOST_EDGE_NAMES = ("MemoryEdge", "RelationshipMetadata", "RelationshipType", "WeightMetadata", "share_edge_fields_set")
LOGGER_NAME = "vantor_lacet.former"
RETRIEVER_MODULE = "vantor.agents.gossip_retriever"
GRAPH_CALLS = ("graph.all_nodes", "graph.has_node", "graph.add_edge", "graph.get_edge_between",
               "graph.get_edges_for_node", "graph.remove_edge")
SEARCH = "service.find_similar"


class HostAbort(BaseException):
    """A host failure outside the Exception hierarchy (like an interrupt)."""


class Recorder:
    """The trace of one world, and the hooks and faults of its host calls."""

    def __init__(self, node_reads=True, keep=True):
        self.trace = []
        self.ext = None
        self.node_reads = node_reads
        self.keep = keep
        self.hooks = {}   # name -> [(fn, once)]
        self.faults = {}  # name -> [(exception, once, when)]
        self.fired = []   # names of the one-shot hooks that ran, in order

    def add(self, *event):
        if self.keep:
            self.trace.append(event)

    def hook(self, name, fn, once=True):
        """Run fn(*args, **kwargs) at the next call of `name` (at every call
        unless once). A one-shot hook is dropped before it runs, so a call
        that re-enters the package from it does not fire it again."""
        self.hooks.setdefault(name, []).append((fn, once))

    def fail(self, name, exc, once=False, when=None):
        """Make `name` raise: an exception class is instantiated at each call,
        an instance is raised as is. `when(*args, **kwargs)` limits it to some
        calls; a one-shot fault is used up by the call that raises it."""
        self.faults.setdefault(name, []).append((exc, once, when))

    def enter(self, name, args, kwargs):
        if self.keep:
            self.trace.append((name, describe(args), describe_kwargs(kwargs)))
        self.intercept(name, args, kwargs)

    def intercept(self, name, args, kwargs):
        hooks = self.hooks.get(name)
        if hooks:
            fn, once = hooks[0]
            if once:
                hooks.pop(0)
                self.fired.append(name)
            fn(*args, **kwargs)
        faults = self.faults.get(name)
        if faults:
            for i, (exc, once, when) in enumerate(faults):
                if when is None or when(*args, **kwargs):
                    if once:
                        faults.pop(i)
                    raise exc(name) if isinstance(exc, type) else exc


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


class Node:
    """A plain host node."""

    __slots__ = ("id", "content_embedding")

    def __init__(self, node_id, embedding=(1.0, 0.0)):
        self.id = node_id
        self.content_embedding = embedding


class RecNode:
    """A host node; reads of `id` and `content_embedding` are recorded."""

    def __init__(self, rec, node_id, embedding, label):
        self._rec = rec
        self._id = node_id
        self._emb = embedding
        self._label = label

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


class RaisingHashId(str):
    """A node id that cannot be hashed."""

    def __hash__(self):
        raise RuntimeError("hash")


class RaisingEqId(str):
    """A node id that hashes but cannot be compared."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        raise RuntimeError("eq")

    def __ne__(self, other):
        raise RuntimeError("ne")


def host_id(node):
    """A node's id as the host knows it, without a recorded read."""
    return node._id if isinstance(node, RecNode) else node.id


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
                rec.enter("RelationshipMetadata", args, kwargs)
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
                rec.intercept("WeightMetadata", args, kwargs)
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
                rec.enter("MemoryEdge", args, kwargs)
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
            rec.enter("share_edge_fields_set", args, kwargs)
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


class Graph:
    """A directed host graph of node and edge dicts, indexed per node and per
    ordered pair.

    store=False: add_edge and remove_edge check and keep nothing, so every
    call of an operation meets the same graph. multi=False: a second edge
    a -> b is refused with ValueError (multi=True accepts it, as the reference
    graph does). live_lists=True: get_edges_for_node hands out the graph's own
    list for the node, which add_edge and remove_edge then change in place.
    """

    def __init__(self, rec=None, *, store=True, multi=False, live_lists=False):
        self.rec = Recorder(keep=False) if rec is None else rec
        self.store = store
        self.multi = multi
        self.live_lists = live_lists
        self.nodes = {}      # id -> node
        self.edges = {}      # id -> edge, in the order of adding
        self._incident = {}  # node id -> its edges, in the order of adding
        self._between = {}   # (source, target) -> edges running that way

    # host side: what the host does on its own, recorded so a trace shows when
    def host_put_node(self, node):
        self.rec.add("host.put_node", describe(node))
        self.nodes[host_id(node)] = node

    def host_remove_node(self, node_id):
        self.rec.add("host.remove_node", node_id)
        self.nodes.pop(node_id, None)
        for edge in [e for e in self.edges.values() if node_id in (e.source_node, e.target_node)]:
            self._unlink(edge.id)

    def host_add_edge(self, edge):
        self.rec.add("host.add_edge", edge.id)
        self._link(edge)

    def host_remove_edge(self, edge_id):
        self.rec.add("host.remove_edge", edge_id)
        self._unlink(edge_id)

    def find(self, a_id, b_id):
        found = self._between.get((a_id, b_id))
        return found[0] if found else None

    def incident(self, node_id):
        return self._incident.setdefault(node_id, [])

    def _link(self, edge):
        source, target = edge.source_node, edge.target_node
        self.edges[edge.id] = edge
        self.incident(source).append(edge)
        if target != source:
            self.incident(target).append(edge)
        self._between.setdefault((source, target), []).append(edge)

    def _unlink(self, edge_id):
        edge = self.edges.pop(edge_id)
        source, target = edge.source_node, edge.target_node
        pair = self._between[(source, target)]
        pair.remove(edge)
        if not pair:
            del self._between[(source, target)]
        # last: a test may have emptied a live list behind the graph's back
        self.incident(source).remove(edge)
        if target != source:
            self.incident(target).remove(edge)

    # the graph interface the package uses
    def all_nodes(self, *args, **kwargs):
        self.rec.enter("graph.all_nodes", args, kwargs)
        return iter(list(self.nodes.values()))

    def has_node(self, *args, **kwargs):
        self.rec.enter("graph.has_node", args, kwargs)
        return args[0] in self.nodes

    def add_edge(self, *args, **kwargs):
        self.rec.enter("graph.add_edge", args, kwargs)
        if not self.store:
            return
        edge = args[0]
        for end in (edge.source_node, edge.target_node):
            if end not in self.nodes:
                raise KeyError(end)
        if edge.id in self.edges:
            raise ValueError(f"edge {edge.id} already stored")
        if not self.multi and self.find(edge.source_node, edge.target_node) is not None:
            raise ValueError(f"{edge.source_node} -> {edge.target_node} already joined")
        self._link(edge)

    def get_edge_between(self, *args, **kwargs):
        self.rec.enter("graph.get_edge_between", args, kwargs)
        return self.find(args[0], args[1])

    def get_edges_for_node(self, *args, **kwargs):
        self.rec.enter("graph.get_edges_for_node", args, kwargs)
        edges = self.incident(args[0])
        return edges if self.live_lists else iter(list(edges))

    def remove_edge(self, *args, **kwargs):
        self.rec.enter("graph.remove_edge", args, kwargs)
        if self.store:
            self._unlink(args[0])


# ---------------------------------------------------------------- similarity service

ODD_ITEMS = ("self", "dup", "numstr", "nan", "none_sim", "none_item", "triple", "badstr")
RANK = object()  # Service.answer: score the live candidates


class Service:
    """The similarity service.

    Each call takes the next entry of `script`, if any: "raise", "abort" and
    "none" make it raise RuntimeError, raise HostAbort or return None; an
    exception is raised; a list is returned as is; a callable is an answer
    for this call; a tuple of ODD_ITEMS mixes odd items into the answer.
    The answer is then `per_node[node id]`, else `answer`: a callable
    answer(node, candidate_ids, node_lookup), a value returned as is, or RANK
    (score every live candidate, keep those at or above the threshold, best
    first, top_k of them). keep_calls keeps the raw arguments in `calls`.
    """

    def __init__(self, rec=None, seed=0, *, answer=RANK, script=(), keep_calls=False):
        self.rec = Recorder(keep=False) if rec is None else rec
        self.seed = seed
        self.digits = 1 if seed % 2 else 3  # coarse scores make weight ties common
        self.answer = answer
        self.script = list(script)
        self.per_node = {}
        self.calls = [] if keep_calls else None
        self._last_scratch = None

    def similarity(self, a, b):
        lo, hi = sorted((a, b))
        return round(random.Random(f"{self.seed}:{lo}:{hi}").random(), self.digits)

    def find_similar(self, *args, **kwargs):
        cand = kwargs.get("candidate_ids")
        lookup = kwargs.get("node_lookup")
        if self.rec.keep:
            self._record(args, kwargs, cand, lookup)
        self.rec.intercept(SEARCH, args, kwargs)
        if self.calls is not None:
            self.calls.append((args[0], args[1], kwargs))
        node = args[0]
        step = self.script.pop(0) if self.script else None
        if step == "raise":
            raise RuntimeError("similarity backend down")
        if step == "abort":
            raise HostAbort("search interrupted")
        if step == "none":
            return None
        if isinstance(step, BaseException):
            raise step
        if isinstance(step, list):
            return step
        answer = step if callable(step) else self.answer
        if self.per_node:
            answer = self.per_node.get(host_id(node), answer)
        if answer is RANK:
            found = self.rank(node, kwargs, cand, lookup)
        elif callable(answer):
            found = answer(node, cand, lookup)
        else:
            found = answer
        if isinstance(step, tuple):
            found = self.oddify(node, lookup, list(found), step)
        return found

    def _record(self, args, kwargs, cand, lookup):
        ext = self.rec.ext
        scratch = args[1] if len(args) > 1 else None
        self.rec.add(
            SEARCH,
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

    def rank(self, node, kwargs, cand, lookup):
        node_id = host_id(node)
        top_k = kwargs["top_k"]
        threshold = kwargs["threshold"]
        found = []
        for cid in sorted(cand):
            if kwargs.get("exclude_self") and cid == node_id:
                continue
            sim = self.similarity(node_id, cid)
            if sim >= threshold:
                found.append((lookup[cid], sim))
        if self.seed % 3:
            found.sort(key=lambda item: -item[1])  # else: candidate id order, weakest first at times
        if isinstance(top_k, int) and top_k > 0:
            found = found[:top_k]
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
            rec.enter("RetrievalContext", args, kwargs)
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


def put_module(name, module):
    """sys.modules[name] = module; None (saved from a name that was absent) removes it."""
    if module is None:
        sys.modules.pop(name, None)
    else:
        sys.modules[name] = module


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
            record.name,
        )


@contextlib.contextmanager
def package_log(*handlers):
    """Only `handlers` on the package's logger, at every level, while the block
    runs; no propagation. (pytest's capture handlers would otherwise keep every
    record and its traceback.)"""
    logger = logging.getLogger(LOGGER_NAME)
    saved = logger.level, logger.propagate, logger.handlers[:]
    logger.handlers[:] = list(handlers) or [logging.NullHandler()]
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    try:
        yield handlers[0] if handlers else None
    finally:
        logger.handlers[:] = saved[2]
        logger.setLevel(saved[0])
        logger.propagate = saved[1]
