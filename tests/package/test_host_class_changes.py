"""Host classes and module globals changed between and during ingests.

The native package remembers what it has confirmed about a host class (how
to construct it, where an attribute lives) and about the module namespace,
until the class or namespace changes. Every test here changes something the
package may have remembered and checks that the next ingest sees the change,
exactly as the Python model does (each test runs against both).
"""
from __future__ import annotations

import dataclasses
import enum
import itertools
from types import SimpleNamespace

import pytest

from recording_host import Graph, Service

HOST_KINDS = ("slots", "dict", "dataclass")


class Kind(enum.Enum):
    TEMPORAL = "temporal"
    SEMANTIC = "semantic"


def host_classes(kind, log):
    """The host's edge classes, in one of three layouts, each constructor
    logging its class name and keywords."""
    ids = itertools.count(1)

    if kind == "dataclass":
        @dataclasses.dataclass
        class RelationshipMetadata:
            type: object
            subtype: object = None
            description: object = None
            bidirectional: bool = False

            def __post_init__(self):
                log.append(("RelationshipMetadata", self.subtype))

        @dataclasses.dataclass
        class WeightMetadata:
            current: float = 0.5
            initial: float = 0.5

            def __post_init__(self):
                log.append(("WeightMetadata", self.current))

        @dataclasses.dataclass
        class MemoryEdge:
            source_node: object
            target_node: object
            relationship: object
            weight: object = None
            id: int = dataclasses.field(default_factory=lambda: next(ids))

            def __post_init__(self):
                log.append(("MemoryEdge", self.source_node, self.target_node))
                if self.weight is None:
                    self.weight = WeightMetadata()
    else:
        slots = kind == "slots"

        class RelationshipMetadata:
            if slots:
                __slots__ = ("type", "subtype", "description", "bidirectional")

            def __init__(self, type, subtype=None, description=None, bidirectional=False):
                log.append(("RelationshipMetadata", subtype))
                self.type, self.subtype = type, subtype
                self.description, self.bidirectional = description, bidirectional

        class WeightMetadata:
            if slots:
                __slots__ = ("current", "initial")

            def __init__(self, current=0.5, initial=0.5):
                log.append(("WeightMetadata", current))
                self.current, self.initial = current, initial

        class MemoryEdge:
            if slots:
                __slots__ = ("source_node", "target_node", "relationship", "weight", "id")

            def __init__(self, source_node, target_node, relationship, weight=None):
                log.append(("MemoryEdge", source_node, target_node))
                self.source_node, self.target_node = source_node, target_node
                self.relationship = relationship
                self.weight = WeightMetadata() if weight is None else weight
                self.id = next(ids)

    return SimpleNamespace(RelationshipMetadata=RelationshipMetadata, WeightMetadata=WeightMetadata,
                           MemoryEdge=MemoryEdge, RelationshipType=Kind,
                           share_edge_fields_set=lambda edge: edge)


class Node:
    def __init__(self, node_id):
        self.id = node_id
        self.content_embedding = [1.0]


class Host:
    """An extension on a fresh graph whose search proposes, for the n-th node,
    the node ingested two before it (never yet joined to it)."""

    def __init__(self, impl, kind, restore_globals):
        self.impl, self.former = impl, restore_globals
        self.log = []
        self.classes = host_classes(kind, self.log)
        for name, value in vars(self.classes).items():
            setattr(self.former, name, value)
        self.graph = Graph(multi=True)
        self.nodes = []
        self.service = Service(answer=self.answer)
        self.ext = impl.package.build_extension(
            self.service, self.graph, impl.former.LacetConfig(max_semantic_edges_per_node=None))

    def answer(self, node, candidate_ids, node_lookup):
        return [(self.nodes[-3], 0.9)] if len(self.nodes) >= 3 else []

    def ingest(self):
        node = Node(f"n{len(self.nodes)}")
        self.graph.host_put_node(node)
        self.nodes.append(node)
        del self.log[:]
        return self.ext.on_ingest(self.graph, node)


@pytest.fixture(params=HOST_KINDS)
def host(request, impl, restore_globals):
    return Host(impl, request.param, restore_globals)


def warm(host):
    """Three ingests, so that every constructor has run more than once."""
    for _ in range(3):
        host.ingest()
    assert [entry[0] for entry in host.log] == [
        "RelationshipMetadata", "MemoryEdge", "WeightMetadata",
        "RelationshipMetadata", "WeightMetadata", "MemoryEdge"]


def test_new_init_new_and_replaced_class_are_seen(host):
    warm(host)
    cls = host.classes.RelationshipMetadata
    original = cls.__init__

    def init(self, *args, **kwargs):
        host.log.append("replaced __init__")
        original(self, *args, **kwargs)

    cls.__init__ = init
    host.ingest()
    assert host.log.count("replaced __init__") == 2

    weight_cls = host.classes.WeightMetadata

    def new(klass, *args, **kwargs):
        host.log.append(("__new__", sorted(kwargs)))
        return object.__new__(klass)

    weight_cls.__new__ = new
    result = host.ingest()
    assert ("__new__", ["current", "initial"]) in host.log
    assert result.created[1].weight.current == 0.9

    # a class rebound in the module namespace is what the next ingest calls
    class Other(weight_cls):
        def __init__(self, current=0.5, initial=0.5):
            host.log.append("Other")
            super().__init__(current, initial)

    host.former.WeightMetadata = Other
    result = host.ingest()
    assert type(result.created[1].weight) is Other and "Other" in host.log

    # ... and deleted from it: the lookup fails with NameError
    del host.former.WeightMetadata
    with pytest.raises(NameError, match="WeightMetadata"):
        host.ingest()


def test_init_rebinding_itself_during_the_call(host):
    warm(host)
    cls = host.classes.MemoryEdge
    original = cls.__init__

    def second(self, *args, **kwargs):
        host.log.append("second")
        original(self, *args, **kwargs)

    def first(self, *args, **kwargs):
        host.log.append("first")
        cls.__init__ = second
        original(self, *args, **kwargs)

    cls.__init__ = first
    host.ingest()
    assert [e for e in host.log if isinstance(e, str)] == ["first", "second"]


def test_abstract_class_and_metaclass_call(host):
    warm(host)
    cls = host.classes.MemoryEdge
    cls.__abstractmethods__ = frozenset({"merge"})
    with pytest.raises(TypeError, match="abstract"):
        host.ingest()
    cls.__abstractmethods__ = frozenset()
    # the failed ingest left the previous node last: only the chain edge,
    # since the search proposes that same node
    assert [(e.source_node, e.target_node) for e in host.ingest().created] == [("n2", "n4")]

    class Meta(type):
        def __call__(klass, *args, **kwargs):
            host.log.append(("Meta.__call__", sorted(kwargs)))
            return super().__call__(*args, **kwargs)

    class Weight(metaclass=Meta):
        def __init__(self, current=0.5, initial=0.5):
            self.current, self.initial = current, initial

    host.former.WeightMetadata = Weight
    result = host.ingest()
    assert ("Meta.__call__", ["current", "initial"]) in host.log
    assert type(result.created[1].weight) is Weight

    # the metaclass's __call__ changed after the class was first called
    del Meta.__call__
    host.ingest()
    assert not any(isinstance(e, tuple) and e[0] == "Meta.__call__" for e in host.log)


def test_init_returning_a_value_is_a_type_error(host):
    warm(host)
    cls = host.classes.RelationshipMetadata
    original = cls.__init__

    def init(self, *args, **kwargs):
        original(self, *args, **kwargs)
        return 7

    cls.__init__ = init
    with pytest.raises(TypeError, match=r"^__init__\(\) should return None, not 'int'$"):
        host.ingest()
    del cls.__init__  # the dataclass or plain default: object.__init__ refuses keywords
    with pytest.raises(TypeError):
        host.ingest()


def test_globals_rebound_during_an_ingest_and_found_in_builtins(host, monkeypatch):
    import builtins

    warm(host)
    cls = host.classes.RelationshipMetadata
    original = cls.__init__

    class Late:
        def __init__(self, current=0.5, initial=0.5):
            self.current, self.initial = current, initial

    def init(self, *args, **kwargs):
        original(self, *args, **kwargs)
        if kwargs.get("bidirectional"):
            host.former.WeightMetadata = Late

    # WeightMetadata is looked up after RelationshipMetadata has been called
    cls.__init__ = init
    result = host.ingest()
    assert type(result.created[1].weight) is Late

    # gone from the module namespace, the name is found among the builtins
    cls.__init__ = original
    del host.former.WeightMetadata
    monkeypatch.setattr(builtins, "WeightMetadata", host.classes.WeightMetadata, raising=False)
    result = host.ingest()
    assert type(result.created[1].weight) is host.classes.WeightMetadata
