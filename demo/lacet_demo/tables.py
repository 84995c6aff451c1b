"""The printed tables: the summary, the time per memory, and three memories
with the memories they were linked to."""
from __future__ import annotations

import textwrap
from collections import Counter
from typing import Any

import numpy as np

from lacet_demo.graph_view import edge_kind, semantic_neighbours
from lacet_demo.stats import PARTS, time_per_memory_at_checkpoints, work_per_memory
from lacet_demo.stream import StreamStats


def shorten(text: str, width: int) -> str:
    return textwrap.shorten(text, width=width, placeholder=" ...")


def print_table(rows: list[tuple[str, str]], title: str) -> None:
    w = max(len(k) for k, _ in rows)
    v = max(len(x) for _, x in rows)
    line = "+" + "-" * (w + 2) + "+" + "-" * (v + 2) + "+"
    print(f"\n{title}")
    print(line)
    for k, x in rows:
        print(f"| {k:<{w}} | {x:>{v}} |")
    print(line)


def summary_rows(graph: Any, stats: StreamStats, degrees: dict[str, int], cap: Any,
                 search_name: str, batch_size: int, detail: bool = True) -> list[tuple[str, str]]:
    by_kind = Counter(edge_kind(e) for e in graph.edges())
    degs = np.array(list(degrees.values()) or [0])
    package = stats.package
    per = 1e6 / max(stats.memories, 1)

    def seconds(part: float) -> str:
        return f"{part:.3f} s ({per * part:.0f} us/memory)"

    at_cap = int((degs >= cap).sum()) if cap else 0
    counts = [
        ("memories", f"{stats.memories:,}"),
        ("search", search_name),
        ("batch size", str(batch_size)),
        ("temporal chain edges", f"{by_kind['temporal chain']:,}"),
        ("semantic edges (in graph)", f"{by_kind['semantic']:,}"),
        ("semantic edges formed", f"{stats.created['semantic']:,}"),
        ("evictions by the cap", f"{stats.evictions:,}"),
        ("semantic degree mean", f"{degs.mean():.2f}"),
        ("semantic degree max (cap)", f"{degs.max()} ({cap})"),
        ("memories at the cap", f"{at_cap:,} ({100.0 * at_cap / max(len(degs), 1):.1f}%)"),
        ("memories without a semantic edge", f"{int((degs == 0).sum()):,}"),
        ("wall time of the stream", f"{stats.wall:.2f} s"),
        ("memories per second", f"{stats.memories / max(stats.wall, 1e-9):,.0f}"),
    ]
    if detail:
        parts = [
            ("time in the package (own work)", seconds(package)),
            ("time in the host's edge model, called by the package", seconds(stats.edge_model)),
        ]
    else:
        parts = [("time in the package, its graph and edge model calls included", seconds(package))]
    parts += [
        ("time in the host's search", f"{seconds(stats.search)[:-1]}, {stats.search_calls:,} calls)"),
        ("time in the search's index upkeep", seconds(stats.index)),
        ("time in the host's graph" if detail else "time in add_node", seconds(stats.graph)),
        ("time in the garbage collector", seconds(stats.gc)),
        ("timing wrappers' own cost, taken out of the above",
         f"{seconds(stats.wrappers)[:-1]}, {stats.timed_calls:,} timed calls)"),
        ("process CPU time / wall time", f"{stats.cpu:.2f} s / {stats.wall:.2f} s"),
    ]
    return counts + parts


def print_time_per_memory(stats: StreamStats) -> dict[int, list[float]]:
    """Time per memory by part in the last tenth before each power of ten and the end."""
    table = time_per_memory_at_checkpoints(stats)
    if not table:
        return table
    heads = ("memories held",) + PARTS + ("total", "search hits", "graph calls")
    widths = [max(len(h), 9) for h in heads]
    print("\nCPU time per memory (us) by part, over the last tenth of the stream up to each mark;"
          "\nthe work per memory: pairs the search returned, graph calls the extension made")
    print("  ".join(h.rjust(w) for h, w in zip(heads, widths)))
    for mark, row in table.items():
        cells = ([f"{mark:,}"] + [f"{v:.1f}" for v in row] + [f"{sum(row):.1f}"]
                 + [f"{v:.1f}" for v in work_per_memory(stats, 0.9 * mark, mark)])
        print("  ".join(c.rjust(w) for c, w in zip(cells, widths)))
    if 10_000 in table and stats.memories > 10_000:
        first, last = table[10_000][0], table[stats.memories][0]
        print(f"package (own work) per memory at {stats.memories:,} against 10,000: "
              f"{last:.1f} / {first:.1f} us = {last / first:.2f}")
    return table


def pick_showcase(graph: Any, degrees: dict[str, int], cap: int, count: int = 3) -> list[str]:
    """Memories with several semantic links, spread over the stream (deterministic)."""
    order = [n.id for n in graph.all_nodes()]
    want = max(3, min(cap, 8) // 2) if cap else 3
    rich = [i for i in order if degrees.get(i, 0) >= want]
    if len(rich) < count:
        rich = sorted(order, key=lambda i: (-degrees.get(i, 0), i))[:count]
        return rich
    step = len(rich) / count
    return [rich[int(step * (k + 0.5))] for k in range(count)]


def print_showcase(graph: Any, ids: list[str]) -> None:
    print("\nThree memories and the memories they were linked to (similarity, source, text):")
    for node_id in ids:
        node = graph.get_node(node_id)
        print(f"\n* {node_id}  {node.metadata['source']}")
        print(f"    {shorten(node.content, 110)}")
        for other, sim in semantic_neighbours(graph, node_id):
            o = graph.get_node(other)
            print(f"    {sim:5.3f}  {o.metadata['source']:<38.38}  {shorten(o.content, 70)}")
