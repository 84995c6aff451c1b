"""A stand-in for a network in benchmarks and tests: a graph given a `latency`
waits that long before each statement."""
from __future__ import annotations

import time


def wait(seconds: float, spin: bool) -> float:
    """Wait `seconds`: sleep, or spin when a sleep's wake-up is too late to be
    worth measuring. Returns the time waited."""
    t0 = time.perf_counter()
    if spin:
        deadline = t0 + seconds
        while time.perf_counter() < deadline:
            pass
    else:
        time.sleep(seconds)
    return time.perf_counter() - t0
