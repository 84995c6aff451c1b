"""A figure quoted in more than one page says the same thing on each: the
statements a memory the reference host sends to SQLite with its snapshot,
from the figures page (docs/figures.md, which the README links), the scaling page that gives the
measurement, and the contract page that states the count."""
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
COUNTS = {"two": 2, "three": 3, "four": 4, "five": 5}


def quoted(page, pattern):
    """The one match of `pattern` in `page`: a figure the test cannot find
    (reworded, or quoted twice) fails it rather than passing unchecked."""
    found = re.findall(pattern, (ROOT / page).read_text())
    assert len(found) == 1, f"{page}: {len(found)} matches of {pattern!r}, expected one"
    return found[0]


def test_sqlite_statements_a_memory_agree():
    figures_statements, figures_rate = quoted(
        "docs/figures.md", r"SQLite: ([\d.]+) statements a memory with the reference host's snapshot, "
                     r"([\d.,]+) a second")
    # the short table of docs/scaling.md: memories a second at 0, 0.2 and 1 ms a round trip
    scaling_statements, scaling_rate = quoted(
        "docs/scaling.md", r"\| sqlite, snapshot \(([\d.]+)\) \| [\d.,]+ \| [\d.,]+ \| ([\d.,]+) \|")
    assert (figures_statements, figures_rate) == (scaling_statements, scaling_rate)
    stated = quoted("docs/host-contract.md", r"(\w+) statements a memory in all")
    assert round(float(figures_statements)) == COUNTS[stated]
