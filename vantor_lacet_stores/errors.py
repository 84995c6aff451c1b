"""Every error the stores raise on purpose, under one base, `StoreError`.

A caller tells the cases apart by class, never by message:

    StoreError
    ├── MemoryRefused     the request itself is wrong: an id, a text or a vector the
    │                     store cannot keep (also ValueError and TypeError, as before)
    ├── BatchTooLarge     more memories in one call than the host takes (also ValueError)
    ├── AlreadyStored     a memory of the call is stored already (also ValueError)
    ├── GraphTaken        another live process serves the graph
    ├── GraphLost         this process no longer serves the graph: nothing of the call
    │                     was stored
    ├── SnapshotMiss      the package asked for something the call did not load (a bug)
    ├── StepOutOfOrder    a host drove a call's steps in the wrong order (a bug)
    └── StoreFailed       the store failed or could not be reached; the driver's error
        │                 is the `__cause__`. Whether the call was stored is not known
        │                 to the caller: the host finds out before the graph's next call
        └── TransactionFailed   a graph's statement asked for after a store error in the
                                same transaction (`GraphStoreHost`'s graphs)

What a web service answers for each, with the reasons, is in docs/stores.md.
"""
from __future__ import annotations

from typing import Any


class StoreError(Exception):
    """The base of every error the stores raise on purpose."""


class MemoryRefused(StoreError, ValueError, TypeError):
    """A memory the store cannot keep: an id that is not a `str` or holds NUL, a
    text that is not text, a vector of another dimension or with NaN or infinity.
    Raised before anything is sent; nothing is stored."""


class BatchTooLarge(StoreError, ValueError):
    """More memories in one call than the host's `max_batch`. Raised before anything
    is sent; nothing is stored. Split the batch."""

    def __init__(self, size: int, limit: int) -> None:
        super().__init__(f"a call of {size} memories is over the host's limit of {limit}: "
                         "split it into calls of at most that many")
        self.size, self.limit = size, limit


class AlreadyStored(StoreError, ValueError):
    """A memory of the call (`node_id`) is in the graph already, or twice in the
    call. Nothing of the call was stored. A request sent again after an answer
    that was lost meets this: the first one was stored."""

    def __init__(self, node_id: Any) -> None:
        super().__init__(f"duplicate node id {node_id!r}")
        self.node_id = node_id


class GraphTaken(StoreError, RuntimeError):
    """Another live process (`holder`) serves the graph; its lease runs to
    `deadline` unless it renews it. Send the call to the holder."""

    def __init__(self, graph: str, holder: str, deadline: Any) -> None:
        super().__init__(f"graph {graph!r} is served by {holder} (its lease runs to {deadline})")
        self.graph, self.holder, self.deadline = graph, holder, deadline


class GraphLost(StoreError, RuntimeError):
    """This process (`holder`) no longer serves the graph: its write was refused, or
    its lease could not be renewed. Nothing of the call was stored. The next call
    on the graph takes it again or raises `GraphTaken`."""

    def __init__(self, graph: str, holder: str) -> None:
        super().__init__(f"graph {graph!r} is no longer served by {holder}: "
                         "another process took it over")
        self.graph, self.holder = graph, holder


class SnapshotMiss(StoreError, RuntimeError):
    """The package asked, during a call, for a part of the graph the call's first
    statement did not load: the host loaded too little, which is a bug. The call
    fails and stores nothing."""


class StepOutOfOrder(StoreError, RuntimeError):
    """A step of a call asked for before the steps it needs (or twice): a bug of the
    host that drives the call."""


class StoreFailed(StoreError):
    """The store failed or could not be reached (the driver's error is the
    `__cause__`). A call that failed so may or may not have been stored; the host
    asks the store before the graph's next call and goes on from what it holds."""


def store_failed(exc: BaseException) -> StoreFailed:
    """The driver's error `exc` as StoreFailed (its `__cause__`)."""
    failed = StoreFailed(f"{type(exc).__name__}: {exc}")
    failed.__cause__ = exc
    return failed


class TransactionFailed(StoreFailed):
    """A statement of a graph asked for after a store error in the same transaction:
    the rest of the call fails at once instead of waiting on a store that went
    away. The store's own error is raised when the transaction ends."""
