"""What a call on a stored graph does, with no I/O: the checks and rows, the
snapshot the package runs against, one ingest round, and the calls (open, add,
forget, recover, renew, release) as steps that a driver sends to the store."""
