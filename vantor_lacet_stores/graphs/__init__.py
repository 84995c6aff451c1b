"""Graphs with the host's graph calls, kept in SQLite or PostgreSQL, for
`GraphStoreHost`."""
