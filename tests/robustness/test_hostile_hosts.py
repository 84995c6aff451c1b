"""Hostile hosts: callbacks that re-enter the extension, mutate what they were
handed, raise from odd places or interrupt.

Every case runs twice, once on the native package and once on the pure-Python
model, against identical fresh worlds, and the two runs must agree on the
outcome (result or exception type), the log records and the final state of the
graph and of the candidate index. The model is plain Python, so agreement
means the native code follows the language's semantics in each case; running
the case at all means the interpreter survived it.
"""
from __future__ import annotations

import importlib
import logging

import pytest

import vantor_lacet.former as native_former
from vantor.core.node import MemoryNode

from recording_host import SEARCH, Graph, RaisingEqId, RaisingHashId, Recorder, Service, package_log

model_former = importlib.import_module("lacet_model.former")
IMPLS = {"native": native_former, "model": model_former}
CALLBACKS = ("find_similar", "add_edge", "remove_edge", "get_edges_for_node", "has_node", "get_edge_between")


def similarity(a_id, b_id):
    return round(0.05 + 0.1 * (int(str(a_id)[1:]) + int(str(b_id)[1:])), 3)


def hook_name(callback):
    return SEARCH if callback == "find_similar" else f"graph.{callback}"


def rank_by_id(node, candidate_ids, node_lookup, top_k):
    """Scores every live candidate that is still in the live dict."""
    pairs = [
        (node_lookup[c], similarity(node.id, c))
        for c in sorted(candidate_ids, key=str)
        if c in node_lookup and c != node.id
    ]
    pairs.sort(key=lambda pair: -pair[1])
    return pairs[:top_k]


class World:
    def __init__(self, former, live_lists=False, node_class=MemoryNode):
        self.former = former
        self.rec = Recorder(keep=False)
        # a multigraph like the reference one; live_lists: get_edges_for_node
        # hands out the graph's own list, which add/remove then change in place
        self.graph = Graph(self.rec, multi=True, live_lists=live_lists)
        self.config = former.LacetConfig(similarity_threshold=0.0, max_semantic_edges_per_node=2)
        self.service = Service(self.rec, answer=lambda node, ids, lookup: rank_by_id(
            node, ids, lookup, self.config.max_semantic_edges_per_node))
        self.nodes = [node_class(id=f"n{i}", content_embedding=[1.0, float(i)]) for i in range(6)]
        for node in self.nodes:
            self.graph.host_put_node(node)
        self.ext = former.LacetExtension(self.service, self.graph, self.config)
        for node in self.nodes[:3]:
            self.ext.on_ingest(self.graph, node)
        # nodes made later than the world, for ids and attributes that misbehave
        self.extra = []

    def hook(self, callback, fn):
        self.rec.hook(hook_name(callback), fn)

    def ingest(self, index=3):
        return self.ext.on_ingest(self.graph, self.nodes[index])

    def batch(self, nodes=None):
        return self.ext.on_ingest_batch(self.graph, self.nodes[3:5] if nodes is None else nodes)

    def state(self):
        ext = self.ext
        edges = sorted(
            (str(e.source_node), str(e.target_node), e.relationship.subtype, _weight(e))
            for e in self.graph.edges.values()
        )
        return {
            "edges": edges,
            "candidates": sorted(map(str, ext._candidate_ids)),
            "lookup": sorted(
                (str(k), v.id if isinstance(v, MemoryNode) else type(v).__name__)
                for k, v in ext._node_lookup.items()
            ),
            "last": None if ext._last_id is None else str(ext._last_id),
            "fired": self.rec.fired,
        }


def _weight(edge):
    try:
        return edge.weight.current
    except RuntimeError:
        return "raises"


class ListHandler(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        exc = record.exc_info[1] if record.exc_info else None
        self.records.append((record.levelname, record.getMessage(), type(exc).__name__ if exc else None))


def describe(value):
    if hasattr(value, "created"):
        return (
            "result",
            [(str(e.source_node), str(e.target_node), e.relationship.subtype) for e in value.created],
            len(value.evicted_edge_ids),
        )
    return ("value", repr(value))


# --------------------------------------------------------------------- cases
# A case takes a fresh World and returns the call to make. It may install
# hooks, replace the service's answer or change the world first.

CASES = {}


def case(name, **world_options):
    def register(fn):
        CASES[name] = (fn, world_options)
        return fn

    return register


REENTRANT = {
    "on_forget": lambda w: w.ext.on_forget([n.id for n in w.nodes]),
    "on_ingest": lambda w: w.ext.on_ingest(w.graph, w.nodes[5]),
    "on_ingest_batch": lambda w: w.ext.on_ingest_batch(w.graph, [w.nodes[5], w.nodes[0]]),
}
for _callback in ("find_similar", "add_edge", "remove_edge", "get_edges_for_node"):
    for _op, _reenter in REENTRANT.items():

        @case(f"re-entrant {_op} from {_callback}")
        def _(w, callback=_callback, reenter=_reenter):
            w.hook(callback, lambda *args, **kwargs: reenter(w))
            return w.ingest


def _hook_case(name, callback, action, call="ingest", **world_options):
    @case(name, **world_options)
    def _(w):
        if callback == "find_similar":
            w.hook(callback, lambda node, scratch, **kw: action(w, node, kw["candidate_ids"], kw["node_lookup"]))
        else:
            w.hook(callback, lambda *args: action(w, *args))
        return w.ingest if call == "ingest" else w.batch


_hook_case("search clears the live candidate set", "find_similar", lambda w, n, ids, lookup: ids.clear())
_hook_case("search adds an unknown id to the live set", "find_similar", lambda w, n, ids, lookup: ids.add("n9"))
_hook_case("search empties the live node dict", "find_similar", lambda w, n, ids, lookup: lookup.clear())
_hook_case("search swaps a node in the live dict", "find_similar",
           lambda w, n, ids, lookup: lookup.__setitem__("n1", MemoryNode(id="n1", content_embedding=None)))
_hook_case("add_edge forgets the node being ingested", "add_edge",
           lambda w, edge: w.ext._node_lookup.pop(str(edge.target_node), None))
_hook_case("remove_edge removes the other end's edges", "remove_edge",
           lambda w, edge_id: [w.graph.remove_edge(e.id) for e in list(w.graph.edges.values()) if e.id != edge_id][:1])
_hook_case("remove_edge on the live edge list", "remove_edge", lambda w, edge_id: None, live_lists=True)
_hook_case("get_edges_for_node clears its live list", "get_edges_for_node",
           lambda w, node_id: w.graph.incident(node_id).clear(), live_lists=True)
_hook_case("batch list cleared during the batch", "find_similar",
           lambda w, n, ids, lookup: w.batch_list.clear(), call="batch")
_hook_case("batch list grows during the batch", "find_similar",
           lambda w, n, ids, lookup: w.batch_list.extend(w.nodes), call="batch")


@case("search mutates the live set while the extension iterates its answer")
def _(w):
    def answer(node, ids, lookup):
        for c in ("n0", "n1", "n2"):
            ids.discard(c)
            lookup.pop(c, None)
            yield w.nodes[int(c[1])], 0.9

    w.service.answer = answer
    return w.ingest


@case("search answers with a generator")
def _(w):
    w.service.answer = lambda node, ids, lookup: ((w.nodes[i], 0.3 + i / 10) for i in (0, 1, 5))
    return w.ingest


@case("search answers with 100000 items")
def _(w):
    pairs = [(w.nodes[i % 6], 0.99 - (i % 6) / 100) for i in range(100_000)]
    w.service.answer = lambda node, ids, lookup: pairs
    return w.ingest


@case("search answer raises while iterated")
def _(w):
    def answer(node, ids, lookup):
        yield w.nodes[5], 0.99
        raise RuntimeError("stream broke")

    w.service.answer = answer
    return w.ingest


# ids and attributes
for _what, _id_class in (("hash", RaisingHashId), ("eq", RaisingEqId)):

    @case(f"node id whose {_what} raises")
    def _(w, id_class=_id_class):
        node = MemoryNode(id=id_class("n5"), content_embedding=[1.0])
        return lambda: w.ext.on_ingest(w.graph, node)


@case("forget an id whose eq raises")
def _(w):
    return lambda: w.ext.on_forget(["n0", RaisingEqId("n2"), "n1"])


@case("batch with an id whose hash raises")
def _(w):
    return lambda: w.batch([w.nodes[3], MemoryNode(id=RaisingHashId("n4"), content_embedding=[1.0])])


@case("candidate id whose eq raises")
def _(w):
    bad = MemoryNode(id=RaisingEqId("n4"), content_embedding=[1.0])
    w.service.answer = lambda node, ids, lookup: [(w.nodes[5], 0.9), (bad, 0.9)]
    return w.ingest


class Shifty:
    """A node whose attributes answer from a script, one value per read;
    an exception in the script is raised at that read."""

    def __init__(self, ids, embeddings):
        self._ids, self._embeddings = list(ids), list(embeddings)

    @staticmethod
    def _next(script):
        value = script.pop(0) if len(script) > 1 else script[0]
        if isinstance(value, BaseException):
            raise value
        return value

    @property
    def id(self):
        return self._next(self._ids)

    @property
    def content_embedding(self):
        return self._next(self._embeddings)


SHIFTY = {
    "embedding present, then gone": (["n5"], [[1.0], None]),
    "embedding gone, then present": (["n5"], [None, [1.0]]),
    "id changes at every read": ([f"n{i % 6}" for i in range(5, 40)], [[1.0]]),
    "id raises at the third read": (["n5", "n5", RuntimeError("id"), "n5"], [[1.0]]),
    "embedding raises at the second read": (["n5"], [[1.0], RuntimeError("embedding"), [1.0]]),
}
for _name, (_ids, _embeddings) in SHIFTY.items():

    @case(f"node attribute: {_name}")
    def _(w, ids=_ids, embeddings=_embeddings):
        node = Shifty(ids, embeddings)
        return lambda: w.ext.on_ingest(w.graph, node)

    @case(f"node attribute in a batch: {_name}")
    def _(w, ids=_ids, embeddings=_embeddings):
        node = Shifty(ids, embeddings)
        return lambda: w.batch([w.nodes[3], node, w.nodes[4]])


@case("edge weight that raises in the cap")
def _(w):
    edge = next(e for e in w.graph.edges.values() if e.relationship.subtype == "auto_discovered")

    class Hostile(type(edge.weight)):
        @property
        def current(self):
            raise RuntimeError("weight")

        @current.setter
        def current(self, value):
            pass

    edge.weight = Hostile()
    return w.ingest


class RaisingHandler(logging.Handler):
    def __init__(self, exc):
        super().__init__(logging.DEBUG)
        self.exc = exc

    def emit(self, record):
        raise self.exc("handler")


def _raising_handler_case(name, handler_exc, host_call, error, message, call="ingest"):
    """`host_call` fails once with error(message); the log handler that hears
    of the failure raises handler_exc."""
    @case(name)
    def _(w):
        w.log_handler = RaisingHandler(handler_exc)
        w.rec.fail(host_call, error(message), once=True)
        return w.ingest if call == "ingest" else w.batch


# interrupts from every callback, in a single ingest and in a batch
for _exc in (KeyboardInterrupt, SystemExit):
    for _callback in CALLBACKS:
        for _call in ("ingest", "batch"):

            @case(f"{_exc.__name__} from {_callback} ({_call})")
            def _(w, exc=_exc, callback=_callback, call=_call):
                def interrupt(*args, **kwargs):
                    raise exc("host")

                w.hook(callback, interrupt)
                return w.ingest if call == "ingest" else w.batch

    @case(f"{_exc.__name__} from share_edge_fields_set")
    def _(w, exc=_exc):
        def interrupt(edge):
            raise exc("host")

        w.former_patches["share_edge_fields_set"] = interrupt
        return w.batch

    @case(f"{_exc.__name__} from all_nodes")
    def _(w, exc=_exc):
        def interrupt(*args):
            raise exc("host")

        w.hook("all_nodes", interrupt)
        return lambda: w.former.LacetExtension(w.service, w.graph, w.config)

    _raising_handler_case(f"{_exc.__name__} from a logging handler", _exc, "graph.add_edge", ValueError, "refused")


_raising_handler_case("logging handler raises on a caught edge failure", RuntimeError,
                      "graph.add_edge", KeyError, "refused")
_raising_handler_case("logging handler raises on a failed batch node", RuntimeError,
                      "graph.has_node", RuntimeError, "has_node", call="batch")


def run_case(name, former, monkeypatch):
    fn, options = CASES[name]
    with monkeypatch.context() as patch:
        w = World(former, **options)
        w.batch_list = list(w.nodes[3:5])
        w.former_patches = {}
        w.log_handler = None
        original_batch = w.batch
        w.batch = lambda nodes=None: original_batch(w.batch_list if nodes is None else nodes)
        call = fn(w)
        for attr, value in w.former_patches.items():
            patch.setattr(former, attr, value)
        with package_log(ListHandler(), *filter(None, [w.log_handler])) as log:
            try:
                outcome = describe(call())
            except BaseException as exc:  # noqa: BLE001 - interrupts are outcomes here
                outcome = ("raised", type(exc).__name__)
        return outcome, log.records, w.state()


@pytest.mark.parametrize("name", list(CASES))
def test_hostile_host(name, monkeypatch):
    native = run_case(name, native_former, monkeypatch)
    model = run_case(name, model_former, monkeypatch)
    assert native == model
    outcome, records, state = native
    if name.startswith(("KeyboardInterrupt", "SystemExit")):
        assert outcome == ("raised", name.split()[0]), "an interrupt must reach the host"
        assert all(exc not in ("KeyboardInterrupt", "SystemExit") for _, _, exc in records)
    if name.startswith("re-entrant"):
        assert state["fired"], "the hook never ran"

