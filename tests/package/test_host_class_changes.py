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


def wrap_init(cls, before=None, after=None):
    """Gives `cls` an __init__ that runs before(kwargs), then the one it had,
    then returns after(kwargs); returns the one it had."""
    original = cls.__init__

    def init(self, *args, **kwargs):
        if before:
            before(kwargs)
        original(self, *args, **kwargs)
        return after(kwargs) if after else None

    cls.__init__ = init
    return original


def test_new_init_new_and_replaced_class_are_seen(host):
    warm(host)
    wrap_init(host.classes.RelationshipMetadata,
              before=lambda kwargs: host.log.append("replaced __init__"))
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
    wrap_init(cls, after=lambda kwargs: 7)
    with pytest.raises(TypeError, match=r"^__init__\(\) should return None, not 'int'$"):
        host.ingest()
    del cls.__init__  # the dataclass or plain default: object.__init__ refuses keywords
    with pytest.raises(TypeError):
        host.ingest()


def test_globals_rebound_during_an_ingest_and_found_in_builtins(host, monkeypatch):
    import builtins

    warm(host)
    cls = host.classes.RelationshipMetadata

    class Late:
        def __init__(self, current=0.5, initial=0.5):
            self.current, self.initial = current, initial

    def rebind(kwargs):
        if kwargs.get("bidirectional"):
            host.former.WeightMetadata = Late

    # WeightMetadata is looked up after RelationshipMetadata has been called
    original = wrap_init(cls, after=rebind)
    result = host.ingest()
    assert type(result.created[1].weight) is Late

    # gone from the module namespace, the name is found among the builtins
    cls.__init__ = original
    del host.former.WeightMetadata
    monkeypatch.setattr(builtins, "WeightMetadata", host.classes.WeightMetadata, raising=False)
    result = host.ingest()
    assert type(result.created[1].weight) is host.classes.WeightMetadata


def test_a_global_lookup_that_raises_passes_its_error_through(host):
    # A key of the module namespace whose __eq__ raises, met on the way to
    # MemoryEdge: the lookup fails as a Python function's would.
    class Boom(Exception):
        pass

    class Clash:
        armed = False

        def __hash__(self):
            return hash("MemoryEdge")

        def __eq__(self, other):
            if Clash.armed:
                raise Boom
            return False

    warm(host)
    namespace = vars(host.former)
    edge_class = namespace.pop("MemoryEdge")
    namespace[Clash()] = None  # ahead of MemoryEdge on its probe sequence
    namespace["MemoryEdge"] = edge_class
    Clash.armed = True
    with pytest.raises(Boom):
        host.ingest()


# ---- attribute and method caches: one scenario run on both implementations


def implementations():
    import importlib
    return [(importlib.import_module(name), importlib.import_module(name + ".former"))
            for name in ("vantor_lacet", "lacet_model")]


def slot_classes():
    """A node class and a graph class without instance dicts, made afresh for
    each implementation so that the changes of one run do not leak."""

    class SlotNode:
        __slots__ = ("id", "content_embedding")

        def __init__(self, node_id):
            self.id = node_id
            self.content_embedding = [1.0]

    class SlotGraph:
        """has_node is a slot holding a callable; the rest are methods."""
        __slots__ = ("inner", "has_node")

        def __init__(self):
            self.inner = Graph(multi=True)
            self.has_node = self.inner.has_node

        def all_nodes(self):
            return self.inner.all_nodes()

        def add_edge(self, edge):
            return self.inner.add_edge(edge)

        def get_edge_between(self, a, b):
            return self.inner.get_edge_between(a, b)

        def get_edges_for_node(self, node_id):
            return self.inner.get_edges_for_node(node_id)

        def remove_edge(self, edge_id):
            return self.inner.remove_edge(edge_id)

    return SlotNode, SlotGraph


def observe(result):
    return ([(e.source_node, e.target_node, e.relationship.subtype, e.weight.current)
             for e in result.created], list(result.evicted_edge_ids))


def run_on_both(scenario, node_kind, cap=2):
    """Runs `scenario(step)` on each implementation; `step(change)` applies
    `change(env)` and then ingests the next node. The observations must agree."""
    seen = []
    for package, former in implementations():
        saved = dict(vars(former))
        try:
            log = []
            node_class, graph_class = slot_classes()
            env = SimpleNamespace(classes=host_classes("slots", log), graph=graph_class(), nodes=[],
                                  former=former, log=log, node_class=node_class)
            for name, value in vars(env.classes).items():
                setattr(former, name, value)

            def answer(node, candidate_ids, node_lookup):
                return [(n, 0.1 * (i + 1)) for i, n in enumerate(env.nodes[:-2][-4:])]

            env.ext = package.build_extension(Service(answer=answer), env.graph,
                                              former.LacetConfig(max_semantic_edges_per_node=cap))
            observations = []

            def step(change=None):
                if change:
                    change(env)
                i = len(env.nodes)
                node = (node_class(f"n{i}") if node_kind == "slots"
                        else SimpleNamespace(id=f"n{i}", content_embedding=[1.0]))
                env.graph.inner.host_put_node(node)
                env.nodes.append(node)
                try:
                    observations.append(observe(env.ext.on_ingest(env.graph, node)))
                except Exception as exc:  # the same failure on both sides
                    observations.append((type(exc).__name__, str(exc)))
                observations.append(env.ext._last_id)

            scenario(step)
            seen.append(observations)
        finally:
            vars(former).clear()
            vars(former).update(saved)
    assert seen[0] == seen[1]
    return seen[0]


@pytest.mark.parametrize("node_kind", ["slots", "namespace"])
def test_attribute_reads_follow_class_changes(node_kind):
    def scenario(step):
        for _ in range(6):
            step()

        # a property replaces the `current` slot of the weight records
        def weaker(env):
            cls = env.classes.WeightMetadata
            slot = cls.__dict__["current"]
            cls.current = property(lambda self: slot.__get__(self) - 1.0,
                                   lambda self, v: slot.__set__(self, v))
        step(weaker)
        step()

        # an edge record changes class: its subtype now comes from a property
        def reclass(env):
            base = env.classes.RelationshipMetadata

            class Renamed(base):
                __slots__ = ()
                subtype = property(lambda self: "manual")
            for edge in env.graph.inner.edges.values():
                if type(edge.relationship) is base:
                    edge.relationship.__class__ = Renamed
        step(reclass)
        step()

        # the node class (or the node itself) gives a different `id`
        def new_id(env):
            if node_kind == "slots":
                slot = env.node_class.__dict__["id"]
                env.node_class.id = property(lambda self: "p" + slot.__get__(self),
                                             lambda self, v: slot.__set__(self, v))
            else:
                env.nodes[-1].id = "renamed"
        step(new_id)
        step()

    observations = run_on_both(scenario, node_kind)
    evictions = [o[1] for o in observations if isinstance(o, tuple) and isinstance(o[1], list)]
    assert any(evictions)  # the scenario does reach the cap's edge reads


def test_method_lookups_follow_class_and_instance_changes():
    def scenario(step):
        for _ in range(4):
            step()

        # a method swapped on the graph's class
        def refuse(env):
            def add_edge(self, edge):
                raise ValueError("refused")
            type(env.graph).add_edge = add_edge
        step(refuse)

        def restore(env):
            type(env.graph).add_edge = lambda self, edge: self.inner.add_edge(edge)
        step(restore)

        # a slot holding the method's value changes on the instance
        def gone(env):
            env.graph.has_node = lambda node_id: False
        step(gone)

        # the extension's own members overridden on the instance, then on a class
        def connected(env):
            env.ext._are_connected = lambda graph, a, b: True
        step(connected)

        def unconnected(env):
            del env.ext._are_connected
            env.ext.__class__ = type("Sub", (type(env.ext),),
                                     {"_enforce_cap": lambda self, *args: False})
        step(unconnected)
        step()

    observations = run_on_both(scenario, "slots")
    assert ([], []) in observations  # the refusing add_edge: edges logged and skipped


def test_own_members_in_a_dict_that_replaced_the_instance_dict():
    """The extension's own members, put in a dict that replaces its instance
    dict, are what the next ingests call, and its state is read from that
    dict: in a dict of its own, then in the dict of an instance of another
    class, which shares that class's keys (the extension's class never held
    those names)."""
    class Holder:
        pass

    def scenario(step):
        def own_class(env):
            # a subclass of its own, whose shared keys no other test has
            # given these names
            own = type("Own", (type(env.ext),), {})
            env.ext = own(service=env.ext._service, graph=env.graph, config=env.ext._config)
        step(own_class)
        for _ in range(3):
            step()

        def own_dict(env):
            env.ext.__dict__ = dict(vars(env.ext), _are_connected=lambda graph, a, b: True,
                                    _last_id="n1")
        step(own_dict)

        def other_class_keys(env):
            holder = Holder()
            for name, value in vars(env.ext).items():
                if name != "_are_connected":
                    setattr(holder, name, value)
            holder._enforce_cap = lambda graph, a, b, similarity, result: False
            env.ext.__dict__ = vars(holder)
        step(other_class_keys)
        step()

    results = run_on_both(scenario, "slots")[::2]  # each ingest's, without _last_id
    assert len(results[-4][0]) > 1  # the chain edge and semantic edges
    # the chain edge only: every candidate connected, then every one refused
    assert [len(created) for created, evicted in results[-3:]] == [1, 1, 1]
    assert results[-3][0][0][:2] == ("n1", "n4")  # from the replaced dict's _last_id


def test_static_method_given_a_new_function_in_place():
    """staticmethod.__init__ gives a static method another function without
    changing its class; the next call must reach the new function (the old
    one is gone by then)."""
    def scenario(step):
        def make_static(env):
            inner = env.graph.inner
            type(env.graph).get_edge_between = staticmethod(
                lambda a, b: inner.get_edge_between(a, b))
        step(make_static)
        for _ in range(4):
            step()

        def swap_function(env):
            calls = env.log
            static = type(env.graph).__dict__["get_edge_between"]
            static.__init__(lambda a, b: calls.append(("swapped", a, b)) or "connected")
            # whatever took the old function's memory now sits where it was
            env.garbage = [[object()] for _ in range(1000)]
        step(swap_function)
        step()

    observations = run_on_both(scenario, "slots")
    before, after = observations[-6][0], observations[-4][0]
    assert len(before) > 1  # the chain edge and semantic edges
    assert len(after) == 1  # the chain edge only: every candidate is "connected"


# ---- comparison fast paths: the same answers as Python's operators


def test_cap_comparisons_on_wide_strings_big_ids_and_equal_copies():
    def scenario(step):
        for _ in range(3):
            step()

        # host edges at one node: subtypes of a wider string kind, ids that
        # are big ints or equal but distinct strings
        def crowd(env):
            target = env.nodes[0].id
            subtypes = ["auto_discovered\u2192wide", "auto_discovere\u00e9", "\u00e9auto_discovered",
                        "auto_discovered"]
            ids = [2 ** 70, 2 ** 70 + 1, "e-" + "x" * 3, "".join(["e-", "xxx"])]
            for i, (subtype, edge_id) in enumerate(zip(subtypes, ids)):
                rel = env.classes.RelationshipMetadata(type=env.classes.RelationshipType.SEMANTIC,
                                                       subtype=subtype)
                edge = env.classes.MemoryEdge(source_node=target, target_node=f"h{i}",
                                              relationship=rel,
                                              weight=env.classes.WeightMetadata(0.01 * i, 0.01 * i))
                edge.id = edge_id
                env.graph.inner.host_put_node(SimpleNamespace(id=f"h{i}", content_embedding=None))
                env.graph.inner.host_add_edge(edge)
        step(crowd)
        step()
        step()

    observations = run_on_both(scenario, "slots", cap=3)
    evicted = [e for o in observations if isinstance(o, tuple) and isinstance(o[1], list)
               for e in o[1]]
    assert 2 ** 70 in evicted  # a prunable edge with a wide-string subtype


def test_class_attribute_reads_follow_the_class_and_its_metaclass():
    class Meta(type):
        pass

    def scenario(step):
        for _ in range(4):
            step()

        def plain(env):
            env.former.RelationshipType = Meta("RT", (), {"SEMANTIC": Kind.SEMANTIC,
                                                          "TEMPORAL": Kind.TEMPORAL})
        step(plain)
        step()

        # the class's value changes: semantic edges stop counting for the cap
        def swapped(env):
            env.former.RelationshipType.SEMANTIC = "associative"
        step(swapped)
        step()

        # the metaclass gains a data descriptor under the name: it wins
        def meta_property(env):
            Meta.SEMANTIC = property(lambda cls: Kind.SEMANTIC)
        step(meta_property)
        step()
        del Meta.SEMANTIC

    observations = run_on_both(scenario, "slots")
    subtypes = {o[0][i][2] for o in observations if isinstance(o, tuple) and o[0]
                for i in range(len(o[0]))}
    assert "auto_discovered" in subtypes
