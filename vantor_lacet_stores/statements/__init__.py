"""The SQL the hosts send: a graph's tables and statements in PostgreSQL, its
lease, and the settings of every session."""
