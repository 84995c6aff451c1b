"""Two worlds side by side: same operations, each on its own recording host."""
from __future__ import annotations

import collections
import logging
import os
import sys

from recording_host import (
    EMBEDDINGS,
    LOGGER_NAME,
    RETRIEVER_MODULE,
    EdgeModel,
    Graph,
    HostAbort,
    Recorder,
    RecNode,
    Service,
    TraceHandler,
    describe,
    make_retriever,
    put_module,
)

# Reported at the end of the pytest session (see conftest.py): the run of the
# selected pair, and separately the runs against deliberately broken models.
COUNTS = collections.Counter()
EVENTS = collections.Counter()
MUTANT_COUNTS = collections.Counter()


def node_reads_enabled() -> bool:
    return os.environ.get("LACET_TRACE_NODE_READS", "1") != "0"


class Divergence(AssertionError):
    pass


class World:
    def __init__(self, impl, seed, ceilings, handler):
        self.impl = impl
        self.rec = Recorder(node_reads=node_reads_enabled())
        self.model = EdgeModel(self.rec)
        self.graph = Graph(self.rec)
        self.service = Service(self.rec, seed)
        self.retriever = make_retriever(self.rec, *ceilings)
        self.handler = handler
        self.ext = None
        self.node_serial = 0
        self.latest = {}

    def activate(self):
        self.model.bind(self.impl.former)
        sys.modules[RETRIEVER_MODULE] = self.retriever
        self.handler.target = self.rec

    def make_node(self, node_id, emb_kind="vec", reuse=False):
        if reuse and node_id in self.latest:
            return self.latest[node_id]
        self.node_serial += 1
        node = self.new_node(node_id, EMBEDDINGS[emb_kind](), f"{node_id}#{self.node_serial}")
        self.latest[node_id] = node
        return node

    def new_node(self, node_id, embedding, label):
        return RecNode(self.rec, node_id, embedding, label)

    # how the state shows a node of the index and an edge of the graph
    def node_state(self, node):
        return node._label

    def edge_state(self, edge):
        return (edge.id, edge.source_node, edge.target_node, edge.shared)

    def make_config(self, choice):
        kind, fields = choice
        if kind == "none":
            return None
        if kind == "zero":
            return 0
        return self.impl.former.LacetConfig(**fields)

    def state(self):
        ext = self.ext
        if ext is None:
            return None
        lookup = ext._node_lookup
        return {
            "last_id": describe(ext._last_id),
            "candidate_ids": sorted(ext._candidate_ids),
            "node_lookup": [(k, self.node_state(lookup[k])) for k in sorted(lookup)],
            "graph_edges": [self.edge_state(e) for e in self.graph.edges.values()],
        }


def run_in(world, action):
    world.activate()
    start = len(world.rec.trace)
    try:
        value = action(world)
        outcome = ("returned", describe(value))
    except (Exception, HostAbort) as exc:
        outcome = ("raised", type(exc).__name__, str(exc))
    finally:
        world.handler.target = None
    return {"outcome": outcome, "trace": world.rec.trace[start:], "state": world.state()}


def explain(label, x, y, names):
    lines = [f"implementations diverge on {label}: {names[0]} vs {names[1]}"]
    if x["outcome"] != y["outcome"]:
        lines += [f"  outcome {names[0]}: {x['outcome']!r}", f"  outcome {names[1]}: {y['outcome']!r}"]
    tx, ty = x["trace"], y["trace"]
    if tx != ty:
        i = next((i for i, (a, b) in enumerate(zip(tx, ty)) if a != b), min(len(tx), len(ty)))
        lines.append(f"  traces differ at event {i} (lengths {len(tx)} / {len(ty)}):")
        for k in range(max(0, i - 3), i):
            lines.append(f"    same : {tx[k]!r}")
        lines.append(f"    {names[0]}: {tx[i] if i < len(tx) else '<end>'!r}")
        lines.append(f"    {names[1]}: {ty[i] if i < len(ty) else '<end>'!r}")
    if x["state"] != y["state"]:
        lines += [f"  state {names[0]}: {x['state']!r}", f"  state {names[1]}: {y['state']!r}"]
    return "\n".join(lines)


class Pair:
    """Owns the logger hook and the retriever module slot while two worlds run."""

    def __init__(self, impls, seed, ceilings, tally=None, events=None, world=None):
        self.tally = collections.Counter() if tally is None else tally
        self.events = collections.Counter() if events is None else events
        self.names = tuple(impl.name for impl in impls)
        self.handler = TraceHandler()
        self.logger = logging.getLogger(LOGGER_NAME)
        self._saved = (self.logger.level, self.logger.propagate, sys.modules.get(RETRIEVER_MODULE, None))
        self.logger.addHandler(self.handler)
        self.logger.setLevel(logging.DEBUG)
        self.logger.propagate = False
        self.worlds = [(world or World)(impl, seed, ceilings, self.handler) for impl in impls]

    def close(self):
        level, propagate, retriever = self._saved
        self.logger.removeHandler(self.handler)
        self.logger.setLevel(level)
        self.logger.propagate = propagate
        put_module(RETRIEVER_MODULE, retriever)

    def step(self, label, action):
        x, *others = (run_in(w, action) for w in self.worlds)
        self.tally["operations"] += 1
        self.tally[f"op:{label}"] += 1
        self.tally[f"outcome:{x['outcome'][0]}"] += 1
        for event in x["trace"]:
            self.events[event[0] if event[0] != "log" else f"log:{event[2]}"] += 1
        for name, y in zip(self.names[1:], others):
            if x != y:
                raise Divergence(explain(label, x, y, (self.names[0], name)))
        return x
