"""Split a callgrind profile at the package's own boundary.

    python benchmarks/callgrind_split.py PROFILE [--arcs]

Reads a callgrind output file (one event, Ir) and reports, in instructions:

- total: everything the process executed;
- entered: the inclusive cost of every call from outside the package's
  shared object into it (the host's calls of on_ingest, the constructor,
  deallocation);
- host calls: the inclusive cost of every call the package makes that runs
  a callable (PyObject_Vectorcall and its relatives), less the method
  lookup inside PyObject_VectorcallMethod, which is the package's own work,
  and what the host's objects cost the package directly: object.__new__ of
  a host class (which the package's constructor path calls through the
  class's tp_new) and the deallocation of the objects whose last reference
  the package drops (_Py_Dealloc: evicted edges, the lists and tuples the
  host's calls returned). Where the interpreter's static functions are
  unnamed (Debian's 3.14 and 3.15 builds), object.__new__ is known by its
  shape: an unnamed function the package calls that allocates (calls an
  allocator, itself or through another unnamed function);
- index: the inclusive cost of the package's set and dict insertions and
  removals (PySet_Add, PyDict_SetItem, ...): the upkeep of the candidate
  index that the package must do whatever it costs, the same C code in any
  implementation (and almost all of a construction);
- own = entered - host calls - index: what the package itself executes,
  including the rest of its use of the C API (attribute lookups,
  comparisons, reference counting, allocation, list handling).

Everything outside `own` (the callee side of every host call, the index
upkeep, the caller's loop, the collector, teardown) is what an operation
would cost with a package of zero own cost. `--arcs` lists the calls out of
the package by callee.
"""
from __future__ import annotations

import argparse
import collections
import re
import sys

PACKAGE_OBJECT = re.compile(r"vantor_lacet/[^/]*\.so$")
RECURSION = re.compile(r"'\d+$")
# C API entry points that run a callable: whatever runs below them is the
# callee's (the host's) work.
CALL_ENTRIES = {
    "PyObject_Vectorcall", "PyObject_VectorcallMethod", "PyObject_VectorcallDict", "PyObject_Call",
    "PyObject_CallObject", "PyObject_CallOneArg", "PyObject_CallNoArgs", "PyObject_CallFunction",
    "PyObject_CallFunctionObjArgs", "PyObject_CallMethod", "PyObject_CallMethodObjArgs",
    "PyObject_CallMethodOneArg", "PyObject_CallMethodNoArgs", "_PyObject_Call", "_PyObject_MakeTpCall",
    "_PyObject_CallMethod", "_PyObject_VectorcallTstate", "PyVectorcall_Call",
    # a host class's own __new__ and __init__, entered directly by the
    # package's constructor path (a Python __new__, or __init__ when the
    # generic path runs it)
    "slot_tp_new", "slot_tp_init",
}
# The candidate index's upkeep: the package uses sets and dicts for nothing
# else once its module is set up; the extension's instance dict is cleared
# with the index in it when the extension goes.
INDEX_OPS = {"PySet_Add", "PySet_Discard", "PyDict_SetItem", "PyDict_DelItem", "_PyDict_Pop", "PyDict_Pop",
             "PyDict_PopString", "_PyObject_ClearManagedDict", "PyObject_ClearManagedDict"}
# What the host's objects cost where the package calls it directly:
# object.__new__(cls) of a host class, and the deallocation of what the
# package lets go of last (the evicted edges, the host's returned lists and
# tuples).
HOST_OBJECT_ENTRIES = {"_Py_Dealloc", "object_new"}
# An unnamed function (a static function of a stripped interpreter) that the
# package calls and that allocates an instance: object.__new__ through a
# host class's tp_new. On Debian's 3.14 it calls an unnamed allocation
# function, which calls the allocators.
UNNAMED = re.compile(r"^(0x[0-9a-fA-F]+|\?\?\?)$")
ALLOCATORS = {"PyType_GenericAlloc", "_PyType_AllocNoTrack", "PyObject_Malloc", "_PyObject_Malloc",
              "malloc"}
# Lookups made inside a call entry before the callee starts: the package's own.
LOOKUPS = {"PyObject_VectorcallMethod": {"_PyObject_GetMethod", "PyObject_GetAttr"}}


class Profile:
    def __init__(self, path):
        self.total = 0
        self.self_cost = collections.Counter()       # (ob, fn) -> Ir
        self.arcs = collections.Counter()            # ((ob, fn), (ob, fn)) -> inclusive Ir
        self._parse(path)

    def _parse(self, path):
        names = {"ob": {}, "fn": {}, "fl": {}}
        ob = fn = cob = cfn = None
        pending_call = False

        def name(kind, value):
            m = re.match(r"\((\d+)\)(?: (.*))?$", value)
            if m:
                ident, text = m.group(1), m.group(2)
                table = names[kind]
                if text is not None:
                    table[ident] = text
                value = table.get(ident, ident)
            # callgrind names a function's deeper recursion levels f'2, f'3, ...
            return RECURSION.sub("", value) if kind == "fn" else value

        with open(path) as f:
            for line in f:
                line = line.rstrip("\n")
                if not line:
                    continue
                head = line[0]
                if head.isdigit() or head in "+-*":
                    cost = int(line.split()[1]) if len(line.split()) > 1 else 0
                    if pending_call:
                        self.arcs[((ob, fn), (cob or ob, cfn))] += cost
                        pending_call = False
                        cob = cfn = None
                    else:
                        self.self_cost[(ob, fn)] += cost
                    continue
                if line.startswith(("summary:", "totals:")):
                    self.total = int(line.split()[1])
                    continue
                key, _, value = line.partition("=")
                if key == "ob":
                    ob = name("ob", value)
                elif key == "fn":
                    fn = name("fn", value)
                elif key in ("fl", "fi", "fe"):
                    name("fl", value)
                elif key == "cob":
                    cob = name("ob", value)
                elif key == "cfn":
                    cfn = name("fn", value)
                elif key in ("cfi", "cfl"):
                    name("fl", value)
                elif key == "calls":
                    pending_call = True

    def _allocating(self):
        """The functions that call an allocator, directly or through one
        unnamed function."""
        direct = {caller for (caller, callee) in self.arcs if callee[1] in ALLOCATORS}
        through = {caller for (caller, callee) in self.arcs
                   if callee in direct and UNNAMED.match(callee[1] or "")}
        return direct | through

    @staticmethod
    def in_package(func):
        return bool(func[0] and PACKAGE_OBJECT.search(func[0]))

    def split(self):
        # Calls nest (the package calls a host callable that calls back into
        # the package): each nested region is counted once in `entered` and
        # once in the call around it, so the differences stay exact.
        entered = host = index = objects = 0
        by_callee = collections.Counter()
        allocating = self._allocating()
        for (caller, callee), cost in self.arcs.items():
            if not self.in_package(caller) and self.in_package(callee):
                entered += cost
            elif self.in_package(caller) and not self.in_package(callee):
                if callee[1] in CALL_ENTRIES:
                    host += cost
                elif callee[1] in HOST_OBJECT_ENTRIES or (
                        callee in allocating and UNNAMED.match(callee[1] or "")):
                    host += cost
                    objects += cost
                elif callee[1] in INDEX_OPS:
                    index += cost
                by_callee[callee[1]] += cost
        # The lookup part of a looked-up-and-called method is the package's
        # own work. (Callers other than the package rarely use these entries;
        # their share is taken in proportion.)
        for entry, lookups in LOOKUPS.items():
            calls_in = {c: v for (c, e), v in self.arcs.items() if e[1] == entry}
            total_in = sum(calls_in.values())
            if not total_in:
                continue
            from_package = sum(v for c, v in calls_in.items() if self.in_package(c))
            inner = sum(v for (c, e), v in self.arcs.items() if c[1] == entry and e[1] in lookups)
            inner += sum(v for k, v in self.self_cost.items() if k[1] == entry)
            share = inner * from_package / total_in
            host -= share
            by_callee[entry] -= share
        return {"total": self.total, "entered": entered, "host_calls": host, "index": index,
                "host_objects": objects, "own": entered - host - index, "by_callee": dict(by_callee)}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("profile")
    ap.add_argument("--arcs", action="store_true", help="list the calls out of the package by callee")
    args = ap.parse_args(argv)
    split = Profile(args.profile).split()
    print(f"total {split['total']}  entered {split['entered']}  host calls {split['host_calls']:.0f}  "
          f"(host objects {split['host_objects']})  index {split['index']}  own {split['own']:.0f}")
    if args.arcs:
        for callee, cost in sorted(split["by_callee"].items(), key=lambda kv: -kv[1]):
            print(f"  {callee:<32} {cost:14.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
