"""For tests, benchmarks and examples: a throwaway PostgreSQL server, graphs by
name, a stand-in for network latency. Nothing here is for production."""
