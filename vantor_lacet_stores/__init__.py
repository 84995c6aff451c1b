"""Stores for the memories and edges that `vantor_lacet` forms: PostgreSQL with
pgvector (many graphs, a lease per graph, asyncio or threads) and SQLite.

    from vantor_lacet_stores import AsyncStoreHost
    host = await AsyncStoreHost.connect("host=db dbname=memories", dimensions=384)
    result = await host.add("user-17", [node])
    await host.forget("user-17", ["m1"])
    found = await host.recall("user-17", query_vector, context)  # a list of Recalled
    await host.close()

Install with `pip install "vantor_lacet[postgres]"` (or `[sqlite]`). Importing
this package loads no driver: each host is imported when first named. The
errors (`StoreError` and its cases) are in `vantor_lacet_stores.errors`, and
here too. docs/stores.md describes every call.
"""
from __future__ import annotations

from typing import Any

from vantor_lacet_stores.errors import (
    AlreadyStored,
    BatchTooLarge,
    GraphLost,
    GraphTaken,
    MemoryRefused,
    SnapshotMiss,
    StepOutOfOrder,
    StoreError,
    StoreFailed,
)

_LAZY = {
    "AsyncStoreHost": "vantor_lacet_stores.hosts.async_host",
    "StoreHost": "vantor_lacet_stores.hosts.sync_host",
    "GraphStoreHost": "vantor_lacet_stores.hosts.graph_host",
    "ServerMap": "vantor_lacet_stores.hosts.server_map",
    "SqliteGraph": "vantor_lacet_stores.graphs.sqlite_graph",
    "PostgresGraph": "vantor_lacet_stores.graphs.postgres_graph",
    "ForgetResult": "vantor_lacet_stores.protocol.calls",
    "Recalled": "vantor_lacet_stores.protocol.recall",
}

__all__ = ["AlreadyStored", "BatchTooLarge", "GraphLost", "GraphTaken", "MemoryRefused",
           "SnapshotMiss", "StepOutOfOrder", "StoreError", "StoreFailed", *_LAZY]


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'vantor_lacet_stores' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value
