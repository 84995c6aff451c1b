"""pgvector's `vector` on the wire in binary, both ways, for psycopg connections.

pgvector's binary form of a vector is its dimension (int16), an unused int16,
then the values as big-endian float32. `vector_bytes` makes it from a vector's
float32 values with numpy (a byte swap, nothing formatted per value), as a
`PgVector`, which the dumper registered here sends as it is; the loader reads
a `vector` column of a binary result back into a float32 array.

The type's oid differs from database to database, and the type exists only
once the extension does (a graph's setup creates it), so a connection learns
it at its first statement that sends vectors (`ensure_vectors`), once.
"""
from __future__ import annotations

from typing import Any

import numpy as np
from psycopg import AsyncConnection, Connection
from psycopg.adapt import Buffer, Dumper, Loader
from psycopg.pq import Format
from psycopg.types import TypeInfo

_HEAD = np.dtype(">u2")
_VALUES = np.dtype(">f4")


class PgVector(bytes):
    """A vector in pgvector's binary form (see the module's text)."""

    __slots__ = ()


def vector_bytes(vec: Any) -> PgVector:
    """`vec` (a float32 array, one dimension) in pgvector's binary form."""
    head = np.array([vec.size, 0], dtype=_HEAD).tobytes()
    return PgVector(head + vec.astype(_VALUES, copy=False).tobytes())


class _VectorDumper(Dumper):
    format = Format.BINARY

    def dump(self, obj: Any) -> Buffer:
        return obj  # type: ignore[no-any-return]


class VectorLoader(Loader):
    """A binary `vector` as a float32 array (native byte order)."""

    format = Format.BINARY

    def load(self, data: Buffer) -> Any:
        dim = int.from_bytes(bytes(data[:2]), "big")
        return np.frombuffer(data, dtype=_VALUES, count=dim, offset=4).astype(np.float32)


def _register(conn: Connection[Any] | AsyncConnection[Any], info: TypeInfo) -> None:
    info.register(conn)  # the type and its array, so that lists of vectors are arrays
    dumper = type("VectorDumper", (_VectorDumper,), {"oid": info.oid})
    conn.adapters.register_dumper(PgVector, dumper)
    conn.adapters.register_loader(info.oid, VectorLoader)


def has_vectors(conn: Connection[Any] | AsyncConnection[Any]) -> bool:
    """Whether `conn` sends and reads vectors in binary already."""
    return conn.adapters.types.get("vector") is not None


def ensure_vectors(conn: Connection[Any]) -> None:
    """Register the vector type on `conn` unless it is there; nothing where the
    database has no pgvector yet."""
    if not has_vectors(conn):
        info = TypeInfo.fetch(conn, "vector")
        if info is not None:
            _register(conn, info)


async def ensure_vectors_async(conn: AsyncConnection[Any]) -> None:
    """`ensure_vectors` for an asyncio connection."""
    if not has_vectors(conn):
        info = await TypeInfo.fetch(conn, "vector")
        if info is not None:
            _register(conn, info)


def sends_vectors(params: Any) -> bool:
    """Whether a statement's parameters may hold vectors (the statements that do
    name them `vecs`, or `vec` for one)."""
    return type(params) is dict and ("vecs" in params or "vec" in params)
