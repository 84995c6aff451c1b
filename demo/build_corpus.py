"""Build the demo memory corpus from the Python 3.12 standard library.

One memory per documented public function, class or method of the standard
library: the first paragraph of its docstring, cleaned up.  The text is the
PSF-licensed documentation that ships with CPython, so the corpus can be
redistributed with the demo and needs no download.

Run with Python 3.12 (the docstrings differ between versions):

    $(pyenv prefix 3.12)/bin/python3.12 demo/build_corpus.py \
        --out demo/data/corpus.jsonl

Each output line is {"id": "m00001", "source": "os.path.join", "text": "..."},
ordered by module, then by qualified name.  Ids follow that order.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import inspect
import io
import json
import pkgutil
import re
import sys
import warnings

# Top-level modules left out: GUI/turtle/IDE code, the test suite, modules with
# import side effects, platform-specific modules that are odd or absent on
# Linux, and the PEP 594 "dead batteries" that 3.12 deprecates.
SKIP_TOP = {
    "idlelib", "tkinter", "turtle", "turtledemo", "test", "lib2to3",
    "antigravity", "this", "__main__", "__future__", "pydoc_data",
    "ensurepip", "venv", "encodings", "msilib", "winreg", "winsound", "nt",
    "msvcrt", "ntpath", "nturl2path", "_msi",
    "aifc", "audioop", "cgi", "cgitb", "chunk", "crypt", "imghdr", "mailcap",
    "nis", "nntplib", "ossaudiodev", "pipes", "sndhdr", "spwd", "sunau",
    "telnetlib", "uu", "xdrlib",
}
# Submodules left out wherever they appear.
SKIP_PARTS = {"test", "tests", "idle_test", "__main__"}
SKIP_MODULES = {
    "asyncio.windows_events", "asyncio.windows_utils",
    "multiprocessing.popen_spawn_win32", "ctypes.wintypes",
    "ctypes.macholib", "ctypes.macholib.dyld", "ctypes.macholib.dylib",
    "ctypes.macholib.framework", "distutils",
}
# Modules whose public name differs from the module that defines the code.
ALIASES = {"posixpath": "os.path"}

MIN_CHARS = 30
MIN_WORDS = 5
MAX_CHARS = 300

# An old-style signature line at the top of a docstring, e.g.
# "sin(x)", "join(self, iterable, /) -> str" or "S.split(sep=None) -> list".
_SIG_LINE = re.compile(r"^\s*[\w.\[\]]+\s*\(.*\)\s*(->.*)?$")
_SIG_SEP = re.compile(r"^\s*--\s*$")
# A signature run into the text, e.g. "D.count(value) -- return number of
# occurrences of value" or "map(func, *iterables) --> map object".
_SIG_PREFIX = re.compile(r"^[\w.]+\(.*?\)\s*(?:-->|--|->|<==>|-|:)\s*")
# A bare argument-type prefix before a sentence: "str -> Construct a date...".
_TYPE_PREFIX = re.compile(r"^\S+ -> (?=[A-Z])")


def module_names() -> list[str]:
    """All importable stdlib module names, top-level and nested, sorted."""
    names: set[str] = set()
    for top in sorted(sys.stdlib_module_names):
        if top.startswith("_") or top in SKIP_TOP:
            continue
        mod = quiet_import(top)
        if mod is None:
            continue
        names.add(top)
        path = getattr(mod, "__path__", None)
        if not path:
            continue
        for info in pkgutil.walk_packages(path, prefix=top + ".",
                                          onerror=lambda name: None):
            parts = info.name.split(".")
            if any(p.startswith("_") or p in SKIP_PARTS for p in parts):
                continue
            if info.name in SKIP_MODULES or any(
                    info.name.startswith(s + ".") for s in SKIP_MODULES):
                continue
            names.add(info.name)
    return sorted(names)


def quiet_import(name: str):
    if name in SKIP_MODULES:
        return None
    with warnings.catch_warnings(), \
            contextlib.redirect_stdout(io.StringIO()), \
            contextlib.redirect_stderr(io.StringIO()):
        warnings.simplefilter("ignore")
        try:
            return importlib.import_module(name)
        except BaseException:  # ImportError, SystemExit, platform errors...
            return None


def clean_doc(doc: str | None) -> str | None:
    """First paragraph of a docstring, signature lines dropped, whitespace
    collapsed, capped at MAX_CHARS (at a sentence end when one is close)."""
    if not doc:
        return None
    lines = inspect.cleandoc(doc).splitlines()
    # Drop leading signature lines (and the "--" separator used by C docs).
    while lines and (_SIG_LINE.match(lines[0]) or _SIG_SEP.match(lines[0])
                     or not lines[0].strip()):
        lines.pop(0)
    para: list[str] = []
    for line in lines:
        if not line.strip():
            break
        para.append(line.strip())
    text = " ".join(" ".join(para).split())
    stripped = _TYPE_PREFIX.sub("", _SIG_PREFIX.sub("", text, count=1))
    if stripped != text:
        text = stripped[:1].upper() + stripped[1:]
    if len(text) < MIN_CHARS or len(text.split()) < MIN_WORDS:
        return None
    if len(text) > MAX_CHARS:
        cut = text[:MAX_CHARS]
        end = cut.rfind(". ")
        if end >= MAX_CHARS // 2:
            text = cut[:end + 1]
        else:
            text = cut[:cut.rfind(" ")].rstrip(",;:") + "..."
    return text


def own_doc(obj) -> str | None:
    """The object's own docstring, not one inherited from a base class."""
    doc = getattr(obj, "__doc__", None)
    return doc if isinstance(doc, str) else None


def public_members(mod) -> list[tuple[str, object]]:
    """Public functions and classes defined in (or exported by) a module."""
    exported = getattr(mod, "__all__", None)
    out = []
    for name, obj in sorted(vars(mod).items()):
        if name.startswith("_"):
            continue
        if not (inspect.isclass(obj) or inspect.isroutine(obj)):
            continue
        defined_here = getattr(obj, "__module__", None) == mod.__name__
        if exported is not None:
            if name not in exported:
                continue
        elif not defined_here:
            continue
        out.append((name, obj))
    return out


def class_methods(cls) -> list[tuple[str, object]]:
    """Public methods and properties that the class itself defines."""
    out = []
    for name, attr in sorted(vars(cls).items()):
        if name.startswith("_"):
            continue
        if isinstance(attr, (staticmethod, classmethod)):
            attr = attr.__func__
        if inspect.isroutine(attr) or isinstance(attr, property) \
                or inspect.isdatadescriptor(attr):
            out.append((name, attr))
    return out


def collect() -> list[dict]:
    records = []
    seen_objects: set[int] = set()
    for modname in module_names():
        mod = quiet_import(modname)
        if mod is None:
            continue
        public_mod = ALIASES.get(modname, modname)
        entries = []
        for name, obj in public_members(mod):
            if id(obj) in seen_objects:
                continue  # re-export of something already taken
            seen_objects.add(id(obj))
            entries.append((f"{public_mod}.{name}", obj))
            if inspect.isclass(obj):
                for mname, meth in class_methods(obj):
                    entries.append((f"{public_mod}.{name}.{mname}", meth))
        for source, obj in entries:
            text = clean_doc(own_doc(obj))
            if text:
                records.append({"module": public_mod, "source": source,
                                "text": text})
    records.sort(key=lambda r: (r["module"], r["source"]))
    seen_text: set[str] = set()
    out = []
    for r in records:
        key = r["text"].lower()
        if key in seen_text:
            continue
        seen_text.add(key)
        out.append({"id": f"m{len(out) + 1:05d}", "source": r["source"],
                    "text": r["text"]})
    return out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default="demo/data/corpus.jsonl")
    args = ap.parse_args(argv)
    if sys.version_info[:2] != (3, 12):
        print("warning: built for Python 3.12; docstrings differ elsewhere",
              file=sys.stderr)
    records = collect()
    with open(args.out, "w", encoding="utf-8") as f:
        for r in records:
            f.write(json.dumps(r, ensure_ascii=False) + "\n")
    tops = {r["source"].split(".")[0] for r in records}
    print(f"wrote {len(records)} memories from {len(tops)} top-level "
          f"modules to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
