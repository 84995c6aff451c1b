"""What the sync and the async host share beside the calls themselves: their
options, their graphs, the counters."""
from __future__ import annotations

import time
from collections.abc import Callable, Mapping
from typing import Any

from vantor_lacet_stores.errors import BatchTooLarge
from vantor_lacet_stores.hosts.gc_freezer import Freezer
from vantor_lacet_stores.hosts.server_map import ServerMap
from vantor_lacet_stores.protocol.calls import GraphState
from vantor_lacet_stores.statements.owner import instance_name

# The largest call a host takes by default: a batch's synchronous work (its rows,
# the first statement's answer, the package's phase) stays within about 50 ms.
DEFAULT_MAX_BATCH = 200

# How long a graph may go without a call before its lease is released: long
# beside the cost of opening a graph again (its ids loaded: seconds at 10^6
# memories), so that a graph in use is never let go between two calls, short
# enough that a fleet's router finds an idle graph free wherever it sends it.
DEFAULT_IDLE_RELEASE = 300.0


class HostCore:
    """The options and state of a host; see `AsyncStoreHost` for each argument."""

    def __init__(self, pools: Mapping[str, Any], dimensions: int,
                 servers: ServerMap | None = None,
                 config: Callable[[str], Any] | None = None, strict_search: bool = False,
                 exact: bool = False, freeze_gc: bool = True, ef_search: int = 100,
                 instance: str | None = None, lease_seconds: float | None = 5.0,
                 take_timeout: float | None = None,
                 max_batch: int | None = DEFAULT_MAX_BATCH,
                 idle_release: float | None = DEFAULT_IDLE_RELEASE) -> None:
        self.pools = dict(pools)
        if servers is None:
            if len(self.pools) != 1:
                raise ValueError("several pools need a ServerMap to place the graphs")
            servers = ServerMap(dict.fromkeys(self.pools, ""))
        self.servers = servers
        self.dimensions = dimensions
        self.config = config
        self.strict_search = strict_search
        self.exact = exact
        self._freezer = Freezer() if freeze_gc else None
        self.ef_search = ef_search  # as the pools' connections set it
        self.instance = instance or instance_name()
        self.lease_seconds = lease_seconds
        if take_timeout is None:
            # A process restarted after a crash waits out its dead self's lease.
            take_timeout = 0.0 if lease_seconds is None else lease_seconds + 1.0
        self.take_timeout = take_timeout
        self.max_batch = max_batch
        self.idle_release = idle_release
        self.statements = 0  # sent for the calls and for opening graphs
        self.renewals = 0  # lease renewals, sent in the background
        self.write_log: list[tuple[str, int | None, int]] = []  # (graph, token, write number)
        self._graphs: dict[str, GraphState] = {}

    def extension(self, graph: str) -> Any:
        """The extension of a graph being served (KeyError otherwise)."""
        return self._graphs[graph].ext

    def serving(self) -> list[str]:
        """The graphs this process serves now."""
        return list(self._graphs)

    def _check_batch(self, nodes: list[Any]) -> None:
        if self.max_batch is not None and len(nodes) > self.max_batch:
            raise BatchTooLarge(len(nodes), self.max_batch)

    def _opened(self, state: GraphState) -> GraphState:
        if self._freezer is not None:
            self._freezer.loaded()
        self._graphs[state.graph] = state
        return state

    def _added(self, count: int) -> None:
        if self._freezer is not None:
            self._freezer.added(count)

    def _idle(self) -> list[GraphState]:
        """The graphs served that had no call for `idle_release` seconds."""
        if self.idle_release is None:
            return []
        since = time.monotonic() - self.idle_release
        return [state for state in self._graphs.values() if state.used <= since]

    def _still_idle(self, state: GraphState) -> bool:
        """Whether `state` is still served and still idle (checked again once its
        lock is held: a call may have ended meanwhile)."""
        return (self._graphs.get(state.graph) is state and self.idle_release is not None
                and state.used <= time.monotonic() - self.idle_release)

    def _drop(self, state: GraphState) -> None:
        """The graph is no longer this process's: its next call opens it again."""
        if self._graphs.get(state.graph) is state:
            del self._graphs[state.graph]
