#!/usr/bin/env python3
"""Print the README's wiring example (its first python block that calls
build_extension), for the type check; tests/docs/test_readme_example.py runs
the same block."""
import re
import sys
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"

blocks = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)
sys.stdout.write(next(b for b in blocks if "build_extension" in b))
