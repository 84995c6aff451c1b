"""The four pictures: semantic degrees, edge similarities, one neighbourhood,
and the time per memory as memories accumulate."""
from __future__ import annotations

from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402

from lacet_demo.layout import neighbourhood, place  # noqa: E402
from lacet_demo.stats import PARTS, time_per_memory  # noqa: E402
from lacet_demo.stream import StreamStats  # noqa: E402
from lacet_demo.tables import shorten  # noqa: E402


def plot_degrees(degrees: dict[str, int], cap: int, path: Path, title_note: str) -> None:
    degs = np.array(list(degrees.values()))
    top = int(max(degs.max(initial=0), cap or 0))
    bins = np.arange(-0.5, top + 1.5, 1.0)
    fig, ax = plt.subplots(figsize=(8, 5))
    counts, _, patches = ax.hist(degs, bins=bins, color="#4c72b0", edgecolor="white", rwidth=0.9)
    if cap and 0 <= cap < len(patches):
        patches[cap].set_facecolor("#c44e52")  # the memories the cap is holding back
    ax.set_ylim(0, counts.max() * 1.12 + 1)
    if cap:
        ax.axvline(cap + 0.5, color="#c44e52", linestyle="--", linewidth=2,
                   label=f"cap = {cap} semantic edges per memory")
        at_cap = int((degs >= cap).sum())
        ax.legend(loc="upper center", title=f"{at_cap:,} memories at the cap", fontsize=9,
                  title_fontsize=9)
    for x, c in zip(range(0, top + 1), counts):
        if c:
            ax.text(x, c, f"{int(c)}", ha="center", va="bottom", fontsize=8)
    ax.set_xticks(range(0, top + 1))
    ax.set_xlabel("semantic edges of a memory (degree)")
    ax.set_ylabel("memories")
    ax.set_title(f"Semantic degree per memory, {len(degs):,} memories\n{title_note}", fontsize=11)
    ax.grid(axis="y", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def plot_weights(formed: list[float], evicted: list[float], threshold: float, path: Path,
                 title_note: str) -> None:
    fig, ax = plt.subplots(figsize=(8, 5))
    lo = min([threshold] + formed + evicted)
    bins = np.linspace(lo, 1.0, 31)
    # densities, so the few evicted edges are as visible as the many formed ones
    ax.hist(formed, bins=bins, density=True, color="#4c72b0", alpha=0.5,
            label=f"all formed semantic edges ({len(formed):,})")
    if evicted:
        ax.hist(evicted, bins=bins, density=True, histtype="stepfilled", color="#dd8452",
                alpha=0.55, edgecolor="#a04e1a", linewidth=1.2,
                label=f"of these, evicted later by the cap ({len(evicted):,})")
    ax.axvline(threshold, color="#555555", linestyle=":", linewidth=1.5,
               label=f"search threshold = {threshold:g}")
    if formed:
        ax.axvline(float(np.median(formed)), color="#4c72b0", linewidth=1.2, linestyle="--",
                   label=f"median formed = {np.median(formed):.3f}")
    if evicted:
        ax.axvline(float(np.median(evicted)), color="#dd8452", linewidth=1.2, linestyle="--",
                   label=f"median evicted = {np.median(evicted):.3f}")
    ax.set_xlabel("cosine similarity = edge weight")
    ax.set_ylabel("density (area of each group = 1)")
    ax.set_title(f"Similarity of formed and evicted semantic edges\n{title_note}", fontsize=11)
    ax.legend(loc="upper right", fontsize=9)
    ax.grid(axis="y", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def plot_neighbourhood(graph: Any, centre: str, path: Path, per_neighbour: int = 3) -> None:
    hood = neighbourhood(graph, centre, per_neighbour)
    pos = place(hood)
    fig, ax = plt.subplots(figsize=(13, 10.5))
    cmap = plt.get_cmap("viridis")
    sims = [w for _, _, w in hood.semantic] or [0.0]
    lo, hi = min(sims), max(sims)
    norm = matplotlib.colors.Normalize(vmin=lo, vmax=max(hi, lo + 1e-6))
    for a, b, w in hood.semantic:
        ax.plot(*zip(pos[a], pos[b]), color=cmap(norm(w)), linewidth=1.0 + 4.0 * norm(w),
                alpha=0.85, zorder=1)
    for a, b in hood.chained:
        ax.annotate("", xy=pos[b], xytext=pos[a], zorder=1,
                    arrowprops=dict(arrowstyle="-|>", color="#c44e52", linestyle=(0, (4, 3)),
                                    linewidth=1.6, shrinkA=8, shrinkB=8,
                                    connectionstyle="arc3,rad=0.25"))
    groups = [([centre], "#c44e52", 420, "the memory"),
              (hood.ring1, "#4c72b0", 220, "its semantic neighbours"),
              (hood.ring2, "#8fb0d8", 120, "their neighbours (strongest 3 each)"),
              (hood.chain, "#bbbbbb", 120, "chained to it only (ingest order)")]
    for ids, colour, size, _ in groups:
        if ids:
            xy = np.array([pos[i] for i in ids])
            ax.scatter(xy[:, 0], xy[:, 1], s=size, color=colour, edgecolor="black",
                       linewidth=0.6, zorder=2)
    for nid in hood.nodes:
        src = graph.get_node(nid).metadata["source"]
        bold = nid == centre
        ax.annotate(src, pos[nid], xytext=(0, 9 if not bold else 12), textcoords="offset points",
                    ha="center", fontsize=10 if bold else 7.5,
                    fontweight="bold" if bold else "normal", zorder=3,
                    bbox=dict(boxstyle="round,pad=0.15", fc="white", ec="none", alpha=0.75))
    handles = [Line2D([], [], marker="o", linestyle="", markersize=s ** 0.5 / 1.6,
                      markerfacecolor=c, markeredgecolor="black", label=lab)
               for ids, c, s, lab in groups if ids]
    handles.append(Line2D([], [], color=cmap(0.8), linewidth=3,
                          label="semantic edge (colour, width: similarity)"))
    if hood.chained:
        handles.append(Line2D([], [], color="#c44e52", linestyle=(0, (4, 3)), linewidth=1.6,
                              label="temporal chain edge (earlier -> later)"))
    fig.legend(handles=handles, loc="lower center", ncol=3, fontsize=9, frameon=False)
    sm = matplotlib.cm.ScalarMappable(norm=norm, cmap=cmap)
    fig.colorbar(sm, ax=ax, shrink=0.5, pad=0.01, label="similarity of semantic edge")
    text = shorten(graph.get_node(centre).content, 120)
    ax.set_title(f"Neighbourhood of {graph.get_node(centre).metadata['source']} ({centre})\n"
                 f"\"{text}\"", fontsize=11)
    xy = np.array(list(pos.values()))
    pad = 0.25
    ax.set_xlim(xy[:, 0].min() - pad, xy[:, 0].max() + pad)
    ax.set_ylim(xy[:, 1].min() - pad, xy[:, 1].max() + pad)
    ax.set_axis_off()
    fig.tight_layout(rect=(0, 0.07, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_time_per_memory(stats: StreamStats, path: Path, title_note: str) -> None:
    held = np.array([r.held for r in stats.per_batch], dtype=float)
    lo, hi = held.min(), held.max()
    edges = np.unique(np.geomspace(max(lo, 1.0), hi, 41)) if hi > lo else np.array([lo, hi])
    # Each point averages at least a few batches: a single batch is at the mercy
    # of whatever else the machine ran at that moment.
    ends = held.tolist()
    centres, rows = [], []
    prev = 0.0
    for edge in edges:
        batches = sum(1 for h in ends if prev < h <= edge)
        if batches < 8 and edge < hi:
            continue
        row = time_per_memory(stats, prev, edge)
        if row is not None:
            centres.append(edge)
            rows.append(row)
        prev = edge
    data = np.array(rows)
    overall = time_per_memory(stats, 0, hi) or [0.0] * len(PARTS)
    fig, ax = plt.subplots(figsize=(9, 5.5))
    colours = ("#c44e52", "#dd8452", "#4c72b0", "#8fb0d8", "#55a868", "#937860")
    for k, (name, colour) in enumerate(zip(PARTS, colours)):
        ax.plot(centres, data[:, k], marker="o", markersize=3, linewidth=1.8, color=colour,
                label=f"{name} ({overall[k]:.0f} us mean)")
    ax.plot(centres, data.sum(axis=1), color="#333333", linewidth=1.2, linestyle="--",
            label=f"total ({sum(overall):.0f} us mean)")
    ax.set_xscale("log")
    ax.set_ylim(0, None)
    ax.set_xlabel("memories held (log scale)")
    ax.set_ylabel("CPU time per memory (us)")
    ax.set_title(f"CPU time per memory as memories accumulate\n{title_note}", fontsize=11)
    ax.grid(alpha=0.3, which="both")
    ax.legend(loc="upper left", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
