"""Graph stores for the reference host: SQLite (`sqlite_graph`) and PostgreSQL
(`postgres_graph`, which needs psycopg), a throwaway PostgreSQL cluster
(`pg_cluster`), and a host that ingests through them in sessions (`host`)."""
