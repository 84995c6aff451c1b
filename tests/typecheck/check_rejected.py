#!/usr/bin/env python3
"""Run `mypy --strict` over a file of hosts that must be rejected and check
that it rejects exactly the lines that end in a comment "rejected: TEXT",
each with an error whose message or notes contain TEXT. Any other error, a marked line
that passes, or a clean run fails the check, so a protocol that accepts
everything cannot pass.

    check_rejected.py FILE [mypy options...]
"""
import re
import subprocess
import sys
from pathlib import Path

MARK = re.compile(r"#\s*rejected:\s*(.+?)\s*$")
LINE = re.compile(r"^(?P<path>[^:]+):(?P<line>\d+): (?P<kind>error|note): (?P<text>.*)$")


def main(path, *options):
    marked = {}
    for number, text in enumerate(Path(path).read_text().splitlines(), start=1):
        found = MARK.search(text)
        if found:
            marked[number] = found.group(1)
    if not marked:
        sys.exit(f"{path}: no line is marked '# rejected: ...'")
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                          "--no-pretty", *options, path], capture_output=True, text=True)
    if run.returncode != 1:
        sys.exit(f"mypy exited with {run.returncode}, expected 1 (errors found):\n{run.stdout}{run.stderr}")
    reports = {}   # (path, line) -> the error and its notes
    unexpected = []
    for out in run.stdout.splitlines():
        parsed = LINE.match(out)
        if parsed is None:
            unexpected.append(out)
            continue
        key = (Path(parsed["path"]).resolve(), int(parsed["line"]))
        reports.setdefault(key, []).append(parsed["text"])
        if parsed["kind"] == "error" and (key[0] != Path(path).resolve() or key[1] not in marked):
            unexpected.append(out)
    problems = [f"unexpected: {out}" for out in unexpected]
    for number, wanted in sorted(marked.items()):
        text = "\n".join(reports.get((Path(path).resolve(), number), []))
        if not text:
            problems.append(f"{path}:{number}: accepted, but marked as rejected ({wanted})")
        elif wanted not in text:
            problems.append(f"{path}:{number}: rejected without mentioning {wanted!r}:\n{text}")
    if problems:
        sys.exit("\n".join(problems))
    print(f"{path}: mypy rejects the {len(marked)} marked lines, and only those")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(*sys.argv[1:])
