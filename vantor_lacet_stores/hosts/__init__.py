"""The hosts: `AsyncStoreHost` and `StoreHost` (PostgreSQL with pgvector, many
graphs, asyncio or threads, the same protocol), `GraphStoreHost` (one graph and
the host's own similarity service)."""
