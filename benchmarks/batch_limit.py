"""How large a batch one call of `AsyncStoreHost` may take: the time of one
batch call, and the longest stretch the event loop is held by it, for batch
sizes 50 to 1,000, on a graph of 10^4 stored memories (128-dimensional,
`pg_bench.clustered`) in a throwaway PostgreSQL cluster with pgvector.

    python benchmarks/batch_limit.py [--quick] [--memories N] [--repeats R]

The loop's longest stretch is what a ticker task sees: it sleeps 5 ms at a
time, and the most it wakes up late while the call runs is how long the loop
was held by something else (the package's call, the answer's JSON read into
the call's snapshot, the garbage collector). Every other graph's calls on the
same loop wait that long. The suggested `max_batch` is the largest size whose
longest stretch stays within --block-ms (50 ms) in every repeat.

--quick: one call a size (under 2 minutes on 2 cores with the fill).
"""
from __future__ import annotations

import argparse
import asyncio
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import numpy as np  # noqa: E402

from pg_bench import clustered, fill_graph  # noqa: E402  (puts the reference host on the path)

import vantor_lacet  # noqa: E402
from vantor.core.node import MemoryNode  # noqa: E402
from vantor_lacet_stores.hosts.async_host import AsyncStoreHost  # noqa: E402
from vantor_lacet_stores.testing.cluster import ThrowawayCluster  # noqa: E402

SIZES = (50, 100, 200, 500, 1000)
TICK = 0.005


class Ticker:
    """A task that sleeps `TICK` at a time and keeps the most it woke up late
    since `reset`."""

    def __init__(self) -> None:
        self.worst = 0.0
        self._task: asyncio.Task[None] | None = None

    async def _run(self) -> None:
        loop = asyncio.get_running_loop()
        while True:
            start = loop.time()
            await asyncio.sleep(TICK)
            self.worst = max(self.worst, loop.time() - start - TICK)

    def start(self) -> None:
        self._task = asyncio.get_running_loop().create_task(self._run())

    async def stop(self) -> None:
        assert self._task is not None
        self._task.cancel()
        try:
            await self._task
        except asyncio.CancelledError:
            pass

    def reset(self) -> None:
        self.worst = 0.0


async def measure(conninfo: str, graph: str, fresh: np.ndarray, repeats: int,
                  sizes: tuple[int, ...]) -> list[dict[str, float]]:
    config = vantor_lacet.LacetConfig()  # what a host gets by default
    host = await AsyncStoreHost.connect(conninfo, fresh.shape[1], config=lambda g: config,
                                        max_batch=None)  # every size measured, over the limit too
    ticker = Ticker()
    rows = []
    taken = 0
    try:
        await host.open(graph)
        ticker.start()
        await asyncio.sleep(0.05)
        for size in sizes:
            times, blocks = [], []
            for _ in range(repeats):
                nodes = [MemoryNode(id=f"n{taken + i:07d}", content=f"new memory {taken + i}",
                                    content_embedding=fresh[taken + i]) for i in range(size)]
                taken += size
                await asyncio.sleep(2 * TICK)
                ticker.reset()
                started = time.perf_counter()
                await host.add(graph, nodes)
                times.append(time.perf_counter() - started)
                await asyncio.sleep(2 * TICK)  # the ticker's late wake-up, if the call ended it
                blocks.append(ticker.worst)
            rows.append({"size": size, "call_s": statistics.median(times),
                         "call_max_s": max(times), "block_ms": 1000 * statistics.median(blocks),
                         "block_max_ms": 1000 * max(blocks)})
    finally:
        await ticker.stop()
        await host.close()
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="one call a size")
    parser.add_argument("--memories", type=int, default=10_000, help="stored memories")
    parser.add_argument("--repeats", type=int, default=3, help="calls a size")
    parser.add_argument("--block-ms", type=float, default=50.0,
                        help="the longest stretch of the loop a call may take")
    args = parser.parse_args()
    repeats = 1 if args.quick else args.repeats
    new = sum(SIZES) * repeats
    vecs = clustered(args.memories + new, seed=7)
    with ThrowawayCluster() as cluster:
        started = time.perf_counter()
        fill_graph(cluster.conninfo, "limit", vecs[:args.memories])
        print(f"{args.memories} memories stored in {time.perf_counter() - started:.1f} s; "
              f"{repeats} call(s) a size, default LacetConfig", flush=True)
        rows = asyncio.run(measure(cluster.conninfo, "limit", vecs[args.memories:], repeats,
                                   SIZES))
    print(f"{'batch':>6} {'call s':>8} {'max s':>8} {'loop held ms':>13} {'max ms':>8}")
    for row in rows:
        print(f"{row['size']:>6} {row['call_s']:>8.3f} {row['call_max_s']:>8.3f} "
              f"{row['block_ms']:>13.1f} {row['block_max_ms']:>8.1f}")
    fitting = [row["size"] for row in rows if row["block_max_ms"] <= args.block_ms]
    best = max(fitting) if fitting else None
    print(f"max_batch: {best} (the largest size that held the loop at most "
          f"{args.block_ms:g} ms in every call)")


if __name__ == "__main__":
    main()
