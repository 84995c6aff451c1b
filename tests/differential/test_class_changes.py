"""Host classes, module globals and records changed between and during ingests.

Each scenario runs the selected pair of implementations side by side on the
recording host, with the host's edge, node, graph and service classes made
in one of four layouts (``__slots__``, dataclass, plain class with a Python
``__init__``, SimpleNamespace with its C constructor). It warms up with a
few ingests over the same node and edge objects, then applies one change,
either between two ingests or from inside a host call of an ingest, and
ingests on: single nodes, an earlier node again and a batch. Every host
call, every read that a change makes observable, every log record, the
outcome and the state must agree at every step.

An implementation that remembers anything about a class, a module global or
a record class (an attribute's place, a method, a constructor, a value)
must notice each of these changes.
"""
from __future__ import annotations

import abc
import dataclasses
import itertools
import logging
import os
import types

import pytest

from recording_host import SEARCH, Graph, Service, describe

from . import implementations
from .harness import Divergence, Pair, World

LAYOUTS = ("slots", "dataclass", "plain", "namespace")
FIELDS = {
    "RelationshipMetadata": ("type", "subtype", "description", "bidirectional"),
    "WeightMetadata": ("current", "initial"),
    "MemoryEdge": ("source_node", "target_node", "relationship", "weight", "id"),
    "Node": ("id", "content_embedding", "label"),
}
DEFAULTS = {"subtype": None, "description": None, "bidirectional": False, "current": 0.5, "initial": 0.5,
            "weight": None, "id": None, "content_embedding": None, "label": None}
MISSING = ("missing",)
DELETED = ("deleted",)  # a host name the world must keep out of the package's namespace
# SimpleNamespace's own constructor does not refuse abstract classes
NO_ABSTRACT_CHECK = {"namespace"}


def raw(obj, field):
    """A field's stored value, past any descriptor a change put on the class."""
    slots = getattr(type(obj), "_raw", None)
    try:
        return slots[field].__get__(obj) if slots else vars(obj).get(field, MISSING)
    except AttributeError:
        return MISSING


def raw_set(obj, field, value):
    slots = getattr(type(obj), "_raw", None)
    if slots:
        slots[field].__set__(obj, value)
    else:
        vars(obj)[field] = value


def _describe(self):
    kind = type(self)._kind
    return (kind,) + tuple(describe(raw(self, f)) for f in type(self)._fields if kind != "node" or f == "label")


class Host:
    """The host's classes in one layout, recording into one world's trace."""

    def __init__(self, layout, rec):
        self.layout = layout
        self.rec = rec
        serial = itertools.count(1)
        self.next_id = lambda prefix="e": f"{prefix}{next(serial)}"

        class RelationshipType:
            TEMPORAL = "temporal"
            SEMANTIC = "semantic"
            CAUSAL = "causal"

        self.RelationshipType = RelationshipType
        for name, fields in FIELDS.items():
            setattr(self, name, self._make(name, fields))
        self.DefaultWeight = self.WeightMetadata  # what the host's own defaults keep using
        host = self

        def share_edge_fields_set(*args, **kwargs):
            rec.enter("share_edge_fields_set", args, kwargs)
            edge = args[0]
            if raw(edge, "id") in (None, MISSING):  # a C constructor gives no id
                raw_set(edge, "id", host.next_id())
            return edge

        self.share_edge_fields_set = share_edge_fields_set

    def _make(self, name, fields):
        rec, host, layout = self.rec, self, self.layout
        kind = {"RelationshipMetadata": "rm", "WeightMetadata": "wm", "MemoryEdge": "edge", "Node": "node"}[name]

        def complete(obj):
            if name == "MemoryEdge":
                if raw(obj, "weight") is None:
                    raw_set(obj, "weight", host.DefaultWeight(current=0.5, initial=0.5))
                if raw(obj, "id") is None:
                    raw_set(obj, "id", host.next_id())

        def __init__(self, *args, **kwargs):
            rec.enter(name, args, kwargs)
            for f in fields:
                raw_set(self, f, kwargs.get(f, DEFAULTS.get(f)))
            complete(self)

        ns = {"_describe": _describe, "_fields": fields, "_kind": kind}
        if layout == "slots":
            cls = type(name, (), {**ns, "__slots__": fields, "__init__": __init__})
            cls._raw = {f: cls.__dict__[f] for f in fields}
        elif layout == "plain":
            cls = type(name, (), {**ns, "__init__": __init__})
        elif layout == "dataclass":
            def __post_init__(self):
                rec.add(name + ".__post_init__", describe(self))
                complete(self)

            body = {**ns, "__post_init__": __post_init__, "__annotations__": {f: "object" for f in fields}}
            body.update({f: DEFAULTS[f] for f in fields if f in DEFAULTS})
            cls = dataclasses.dataclass(type(name, (), body))
        else:
            cls = type(name, (types.SimpleNamespace,), ns)
        return cls

    def host_edge(self, source, target, rtype, subtype, weight):
        rel = self.RelationshipMetadata(type=rtype, subtype=subtype)
        w = self.WeightMetadata(current=weight, initial=weight)
        return self.MemoryEdge(source_node=source, target_node=target, relationship=rel, weight=w,
                               id=self.next_id("h"))

    def bind(self, former):
        for name in ("MemoryEdge", "RelationshipMetadata", "RelationshipType", "WeightMetadata",
                     "share_edge_fields_set"):
            value = getattr(self, name)
            if value is DELETED:
                vars(former).pop(name, None)
            else:
                setattr(former, name, value)


def world_in(layout):
    class LayoutWorld(World):
        def __init__(self, impl, seed, ceilings, handler):
            super().__init__(impl, seed, ceilings, handler)
            self.host = self.model = Host(layout, self.rec)
            # classes of their own, so that a change made in one world stays there
            self.graph = type("Graph", (Graph,), {})(self.rec)
            self.service = type("Service", (Service,), {})(self.rec, seed)
            self.Extension = type("Extension", (impl.former.LacetExtension,), {})
            self.subtype = type("Subtype", (str,), {})
            self.undo = []

        def new_node(self, node_id, embedding, label):
            return self.host.Node(id=node_id, content_embedding=embedding, label=label)

        def node_state(self, node):
            return describe(node)

        edge_state = node_state

    return LayoutWorld


# ------------------------------------------------------------------ changes
# Each change is apply(world); CHANGES maps its name to (apply, the host call
# from inside which the "during" variant applies it, the evidence that the
# change took effect: a trace event or an exception that must be seen after it).


def recording_property(w, owner, field, transform=None):
    rec = w.rec

    def get(self):
        value = raw(self, field)
        rec.add("read", owner.__name__, field, describe(value))
        return value if transform is None else transform(value)

    return property(get, lambda self, value: raw_set(self, field, value))


def field_becomes_property(cls_name, field, transform=None):
    def apply(w):
        cls = getattr(w.host, cls_name)
        setattr(cls, field, recording_property(w, cls, field, transform))
    return apply


def new_init(cls_name, returns=None):
    def apply(w):
        cls = getattr(w.host, cls_name)
        old = cls.__init__
        rec = w.rec

        def __init__(self, *args, **kwargs):
            rec.enter("new " + cls_name + ".__init__", args, kwargs)
            old(self, *args, **kwargs)
            return returns

        cls.__init__ = __init__
    return apply


def new_new(cls_name, foreign=False):
    def apply(w):
        cls = getattr(w.host, cls_name)
        old = cls.__new__
        rec = w.rec
        stand_in = w.host.WeightMetadata(current=0.25, initial=0.25) if foreign else None

        def __new__(klass, *args, **kwargs):
            rec.enter("new " + cls_name + ".__new__", args, kwargs)
            # an object of another class: Python then skips __init__
            return stand_in if foreign else old(klass)

        cls.__new__ = __new__
    return apply


def init_removed(cls_name):
    def apply(w):
        cls = getattr(w.host, cls_name)
        if "__init__" in vars(cls):
            delattr(cls, "__init__")
    return apply


def graph_method_swapped(method, on_instance, answer=None):
    def apply(w):
        original = getattr(Graph, method)
        rec = w.rec

        def swapped(*args, **kwargs):
            graph = w.graph
            rec.add("swapped " + method)
            result = original(graph, *args, **kwargs)
            return result if answer is None else answer(result)

        if on_instance:
            setattr(w.graph, method, swapped)
        else:
            setattr(type(w.graph), method, lambda self, *a, **k: swapped(*a, **k))
    return apply


def search_swapped(on_instance):
    def apply(w):
        rec = w.rec

        def find_similar(*args, **kwargs):
            rec.add("swapped find_similar")
            return list(reversed(Service.find_similar(w.service, *args, **kwargs) or []))

        if on_instance:
            w.service.find_similar = find_similar
        else:
            type(w.service).find_similar = lambda self, *a, **k: find_similar(*a, **k)
    return apply


def extension_method_swapped(method, on_instance):
    def apply(w):
        original = getattr(w.impl.former.LacetExtension, method)
        rec = w.rec

        def wrapper(*args, **kwargs):
            rec.add("swapped " + method, describe(args[1:] if method != "_are_connected" else args))
            if method == "_are_connected":
                return original(*args, **kwargs)
            return original(w.ext, *args, **kwargs)

        if on_instance:
            setattr(w.ext, method, wrapper)
        elif method == "_are_connected":
            setattr(w.Extension, method, staticmethod(wrapper))
        else:
            setattr(w.Extension, method, lambda self, *a, **k: wrapper(*a, **k))
    return apply


def subtype_startswith_swapped(w):
    w.subtype.startswith = lambda self, prefix: (w.rec.add("startswith", str(self), prefix), False)[1]


def class_reassigned(target):
    def apply(w):
        rec = w.rec
        if target == "config":
            config = w.ext.config
            base = type(config)
            sub = type("Config", (base,), {"max_semantic_edges_per_node": property(
                lambda self: (rec.add("read config cap"), 1)[1])})
            config.__class__ = sub
            return
        base = getattr(w.host, {"node": "Node", "edge": "MemoryEdge", "weight": "WeightMetadata"}[target])
        field = {"node": "id", "edge": "weight", "weight": "current"}[target]
        body = {field: recording_property(w, base, field, (lambda v: -1.0) if target == "weight" else None)}
        if w.host.layout == "slots":
            body["__slots__"] = ()
        sub = type(base.__name__, (base,), body)
        if target == "node":
            objects = list(w.ext._node_lookup.values())
        elif target == "edge":
            objects = list(w.graph.edges.values())
        else:
            objects = [raw(e, "weight") for e in w.graph.edges.values()]
        for obj in objects:
            if type(obj) is base:
                obj.__class__ = sub
    return apply


def global_rebound(name, value):
    def apply(w):
        new = value(w) if callable(value) else value
        if hasattr(w.host, name):
            setattr(w.host, name, new)  # the world binds its host names at every step
        setattr(w.impl.former, name, new)
    return apply


def global_deleted(name):
    def apply(w):
        if hasattr(w.host, name):
            setattr(w.host, name, DELETED)
        if name in vars(w.impl.former):
            delattr(w.impl.former, name)
    return apply


def other_edge_class(w):
    rec = w.rec
    base = w.host.MemoryEdge

    class Meta(type):
        def __call__(cls, *args, **kwargs):
            rec.enter("Meta.__call__", args, kwargs)
            return base(*args, **kwargs)

    return Meta("MemoryEdge", (), {})


def metaclass_call(cls_name, returns_other=False):
    def apply(w):
        rec = w.rec
        base = getattr(w.host, cls_name)

        class Meta(type):
            def __call__(cls, *args, **kwargs):
                rec.enter("Meta.__call__ " + cls_name, args, kwargs)
                if returns_other:
                    return base(*args, **kwargs)
                return super().__call__(*args, **kwargs)

        body = {"__slots__": ()} if w.host.layout == "slots" else {}
        sub = Meta(cls_name, (base,), body)
        setattr(w.host, cls_name, sub)
    return apply


def abstract_class(cls_name, mode):
    def apply(w):
        cls = getattr(w.host, cls_name)
        if mode == "flag":
            cls.__abstractmethods__ = frozenset({"strength"})
            return
        body = {"strength": abc.abstractmethod(lambda self: 0)}
        if w.host.layout == "slots":
            body["__slots__"] = ()
        sub = abc.ABCMeta(cls_name, (cls,), body)
        setattr(w.host, cls_name, sub)
    return apply


def result_class_changed(mode):
    def apply(w):
        former = w.impl.former
        cls = former.LacetIngestResult
        rec = w.rec
        if mode == "rebound":
            sub = dataclasses.dataclass(type("LacetIngestResult", (cls,), {
                "__post_init__": lambda self: rec.add("result post_init"),
                "__annotations__": {"note": "str"}, "note": "x"}))
            former.LacetIngestResult = sub
            return
        if mode == "init":
            old = cls.__init__

            def __init__(self, *args, **kwargs):
                rec.enter("result __init__", args, kwargs)
                old(self, *args, **kwargs)
                self.created.append(w.host.share_edge_fields_set(w.host.MemoryEdge(
                    source_node="pre", target_node="made", relationship=None)))

            w.undo.append((cls, "__init__", old))
            cls.__init__ = __init__
        elif mode == "new":
            # on a subclass: a __new__ deleted again does not give a class its
            # old constructor back
            def __new__(klass, *args, **kwargs):
                rec.enter("result __new__", args, kwargs)
                return object.__new__(klass)

            former.LacetIngestResult = type("LacetIngestResult", (cls,), {"__new__": __new__})
    return apply


def logger_rebound(w):
    return logging.getLogger("vantor_lacet.former.elsewhere")


CHANGES = {
    # a property takes the place of a slot, a dataclass field or a dict entry
    **{f"property for {c}.{f}": (field_becomes_property(c, f), "graph.add_edge", "read")
       for c, f in [("Node", "id"), ("Node", "content_embedding"), ("MemoryEdge", "relationship"),
                    ("MemoryEdge", "weight"), ("MemoryEdge", "id"), ("RelationshipMetadata", "type"),
                    ("RelationshipMetadata", "subtype"), ("WeightMetadata", "current")]},
    "property for WeightMetadata.current, other values": (
        field_becomes_property("WeightMetadata", "current", lambda v: 1.0 - v if isinstance(v, float) else v),
        "graph.get_edges_for_node", "read"),
    "property for RelationshipMetadata.subtype, not prunable": (
        field_becomes_property("RelationshipMetadata", "subtype", lambda v: "user"), "graph.get_edges_for_node", "read"),
    # constructors
    **{f"new __init__ for {c}": (new_init(c), "graph.add_edge", f"new {c}.__init__")
       for c in ("RelationshipMetadata", "WeightMetadata", "MemoryEdge")},
    "__init__ returning a value": (new_init("MemoryEdge", returns=1), "graph.add_edge", TypeError),
    **{f"new __new__ for {c}": (new_new(c), "graph.add_edge", f"new {c}.__new__")
       for c in ("RelationshipMetadata", "WeightMetadata", "MemoryEdge")},
    "__new__ returning a foreign object": (new_new("RelationshipMetadata", foreign=True), "graph.add_edge",
                                           "new RelationshipMetadata.__new__"),
    "__init__ removed": (init_removed("WeightMetadata"), "graph.add_edge", None),
    "metaclass __call__": (metaclass_call("MemoryEdge"), "graph.add_edge", "Meta.__call__ MemoryEdge"),
    "metaclass __call__ making the base class": (metaclass_call("WeightMetadata", returns_other=True),
                                                 "graph.add_edge", "Meta.__call__ WeightMetadata"),
    "abstract edge class": (abstract_class("WeightMetadata", "abc"), "graph.add_edge", TypeError),
    "class turned abstract": (abstract_class("MemoryEdge", "flag"), "graph.add_edge", TypeError),
    # methods swapped on the class and on an instance
    **{f"{m} swapped on the {where}": (graph_method_swapped(m, where == "instance", answer), "graph.add_edge",
                                       "swapped " + m)
       for m, answer in [("get_edge_between", None), ("get_edges_for_node", lambda r: iter(list(r)[::-1])),
                         ("has_node", lambda r: not r)]
       for where in ("class", "instance")},
    **{f"find_similar swapped on the {where}": (search_swapped(where == "instance"), "graph.add_edge",
                                                "swapped find_similar") for where in ("class", "instance")},
    **{f"extension {m} swapped on the {where}": (extension_method_swapped(m, where == "instance"),
                                                 "graph.add_edge", "swapped " + m)
       for m in ("_are_connected", "_enforce_cap", "on_ingest") for where in ("class", "instance")},
    "subtype class startswith swapped": (subtype_startswith_swapped, "graph.get_edges_for_node", "startswith"),
    # __class__ reassigned on objects the package has seen before
    **{f"__class__ of {t} reassigned": (class_reassigned(t), "graph.add_edge",
                                         "read config cap" if t == "config" else "read")
       for t in ("node", "edge", "weight", "config")},
    # module globals of the package rebound and deleted
    "SEMANTIC_SUBTYPE rebound": (global_rebound("SEMANTIC_SUBTYPE", "auto"), "graph.add_edge", None),
    "SEMANTIC_SUBTYPE deleted": (global_deleted("SEMANTIC_SUBTYPE"), "graph.get_edges_for_node", NameError),
    "CHAIN_SUBTYPE rebound": (global_rebound("CHAIN_SUBTYPE", "chained"), "graph.add_edge", None),
    "CHAIN_SUBTYPE deleted": (global_deleted("CHAIN_SUBTYPE"), "graph.add_edge", NameError),
    "logger rebound": (global_rebound("logger", logger_rebound), "graph.add_edge", None),
    "logger deleted": (global_deleted("logger"), "graph.add_edge", NameError),
    "MemoryEdge rebound to a metaclass-made class": (global_rebound("MemoryEdge", other_edge_class),
                                                     "graph.add_edge", "Meta.__call__"),
    "WeightMetadata deleted": (global_deleted("WeightMetadata"), "graph.add_edge", NameError),
    "RelationshipType rebound": (global_rebound("RelationshipType", lambda w: type(
        "RelationshipType", (), {"TEMPORAL": "temporal", "SEMANTIC": "semantic*"})), "graph.add_edge", None),
    "LacetIngestResult deleted": (global_deleted("LacetIngestResult"), "graph.add_edge", NameError),
    # the package's own record class changed
    "LacetIngestResult rebound to a subclass": (result_class_changed("rebound"), "graph.add_edge", "result post_init"),
    "LacetIngestResult gets a new __init__": (result_class_changed("init"), "graph.add_edge", "result __init__"),
    "LacetIngestResult rebound to a subclass with __new__": (result_class_changed("new"), "graph.add_edge", "result __new__"),
}


def seen(results, evidence):
    if evidence is None:
        return True
    if isinstance(evidence, str):
        return any(event[0] == evidence for r in results for event in r["trace"])
    return any(r["outcome"][0] == "raised" and r["outcome"][1] == evidence.__name__ for r in results)


def run(layout, change, when, impls=None):
    apply, during, evidence = CHANGES[change]
    if evidence is TypeError and "abstract" in change and layout in NO_ABSTRACT_CHECK:
        evidence = None
    pair = Pair(impls or implementations.selected_pair(), seed=4, ceilings=(50, 10), world=world_in(layout))
    try:
        def construct(w):
            model = w.host
            for i in range(6):
                w.graph.host_put_node(w.make_node(f"p{i}"))
            for i in range(6):  # every pool node at the cap of 2, with weak and strong edges
                for j, weight in ((1, 0.1 + i / 20), (2, 0.6 + i / 20)):
                    subtype = w.subtype("auto_discovered") if j == 1 else "auto_discovered_v2"
                    w.graph.host_add_edge(model.host_edge(f"p{i}", f"p{(i + j) % 6}", model.RelationshipType.SEMANTIC,
                                                          subtype, weight))
            config = w.impl.former.LacetConfig(max_semantic_edges_per_node=2, similarity_threshold=0.0)
            w.ext = w.rec.ext = w.Extension(w.service, w.graph, config)
            return w.ext.config

        def ingest(node_id, reuse=False):
            def act(w):
                node = w.make_node(node_id, reuse=reuse)
                w.graph.host_put_node(node)
                return w.ext.on_ingest(w.graph, node)
            return act

        def batch(ids):
            def act(w):
                nodes = [w.make_node(i) for i in ids]
                for node in nodes:
                    w.graph.host_put_node(node)
                return w.ext.on_ingest_batch(w.graph, nodes)
            return act

        pair.step("construct", construct)
        for i in range(3):  # warm: the same classes, nodes and edges seen several times
            pair.step("ingest", ingest(f"n{i}"))
        pair.step("ingest", ingest("n0", reuse=True))
        if when == "between":
            pair.step("change", apply)
        else:
            pair.step("arm", lambda w: w.rec.hook(during, lambda *a, **k: apply(w)))
        after = [pair.step("ingest", ingest(f"n{i}")) for i in range(3, 5)]
        # failures the package logs: one refused edge, one failed search
        pair.step("faults", lambda w: (w.rec.fail("graph.add_edge", ValueError("refused"), once=True),
                                       w.service.script.append("raise")))
        after.append(pair.step("ingest", ingest("n5")))
        after.append(pair.step("ingest", ingest("n1", reuse=True)))
        after.append(pair.step("ingest", ingest("p2", reuse=True)))
        after.append(pair.step("batch", batch(["b0", "b1", "b0"])))
        assert seen(after, evidence), f"{change}: no sign of the change after it was made"
        if when == "during":
            assert all(during in w.rec.fired for w in pair.worlds), "the change was never made"
    finally:
        pair.close()
        for w in pair.worlds:
            for cls, name, value in reversed(w.undo):
                setattr(cls, name, value)


@pytest.mark.parametrize("when", ["between", "during"])
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("change", list(CHANGES))
def test_class_change(change, layout, when):
    run(layout, change, when)


# Models that remember what they should look up afresh, each by one text
# edit. The family must tell every one of them apart from the model.
REMEMBERING = {
    "prefix captured": ("startswith(SEMANTIC_SUBTYPE)", 'startswith("auto_discovered")',
                        "SEMANTIC_SUBTYPE rebound", "between"),
    "chain subtype captured": ("subtype=CHAIN_SUBTYPE,", 'subtype="auto_chain",', "CHAIN_SUBTYPE deleted", "during"),
    "result built past its class": ("        result = LacetIngestResult()\n\n",
                                    "        result = object.__new__(LacetIngestResult)\n"
                                    "        result.created, result.evicted_edge_ids = [], []\n\n",
                                    "LacetIngestResult gets a new __init__", "between"),
    "logger looked up by name": ('logger.debug("lacet: chain', 'logging.getLogger("vantor_lacet.former").debug("lacet: chain',
                                 "logger rebound", "during"),
    "method taken from the class": ("if graph.get_edge_between(a_id, b_id)",
                                    "if type(graph).get_edge_between(graph, a_id, b_id)",
                                    "get_edge_between swapped on the instance", "between"),
    "member read once per module": ("semantic_type = RelationshipType.SEMANTIC",
                                    "semantic_type = type(graph).__name__ and 'semantic'",
                                    "RelationshipType rebound", "during"),
}


@pytest.mark.skipif(bool(os.environ.get("LACET_SANITIZED")),
                    reason="checks the family on broken models only; no native code runs")
@pytest.mark.parametrize("layout", ["slots", "dataclass"])
@pytest.mark.parametrize("mutant", sorted(REMEMBERING))
def test_family_tells_remembering_models_apart(mutant, layout):
    old, new, change, when = REMEMBERING[mutant]
    model = implementations.load("model", "x")
    broken = implementations.load_model_mutant(mutant.replace(" ", "_"), old, new)
    with pytest.raises(Divergence):
        run(layout, change, when, impls=(model, broken))
