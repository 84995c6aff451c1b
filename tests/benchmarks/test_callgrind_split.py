"""The split of a callgrind profile at the package's boundary, on a profile
small enough to work out by hand."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))

import callgrind_split  # noqa: E402


def split_of(tmp_path, text):
    path = tmp_path / "callgrind.out"
    path.write_text(text)
    return callgrind_split.Profile(str(path)).split()

# The caller's loop (100 of its own) enters the package once (600 inclusive).
# The package spends 80 itself, calls two host callables (300), adds to its
# set (40), looks up and calls a method (100, of which 40 is the lookup:
# the entry's own 10 and _PyObject_GetMethod's 30) and allocates a host
# object through the class's __new__ (20). One host callable calls
# back into the package (a nested region of 50, named at recursion level 2).
PROFILE = """\
# callgrind format
version: 1
positions: line
events: Ir
summary: 1000

ob=(1) /usr/bin/python3.12
fl=(1) ???
fn=(1) main_loop
0 100
cob=(2) /venv/site-packages/vantor_lacet/__init__.cpython-312-x86_64-linux-gnu.so
cfn=(2) 0x0000000000006200
calls=1 0
0 600
fn=(3) type_call'2
0 5
cob=(2)
cfn=(4) 0x0000000000006700
calls=1 0
0 50

ob=(2)
fl=(2) ???
fn=(2)
0 80
+3 0
cob=(1)
cfn=(5) PyObject_Vectorcall
calls=2 0
0 300
cob=(1)
cfn=(6) PySet_Add
calls=1 0
0 40
cob=(1)
cfn=(7) PyObject_VectorcallMethod
calls=1 0
0 100
cob=(1)
cfn=(9) object_new
calls=1 0
0 20
fn=(4)
0 50

ob=(1)
fn=(7)
0 10
cfn=(8) _PyObject_GetMethod
calls=1 0
0 30
"""


def test_split_counts_nested_regions_once_and_lookups_as_own(tmp_path):
    split = split_of(tmp_path, PROFILE)
    assert split["total"] == 1000
    assert split["entered"] == 650
    assert split["host_calls"] == 380    # 300 + (100 - 40) + 20
    assert split["index"] == 40
    # 80 + the lookup's 40 in the outer region, the nested region's 50 (which
    # the host call's 300 included), and nothing of the host's own work
    assert split["own"] == 230
    assert split["by_callee"]["PySet_Add"] == 40


# The package (80 of its own) frees an evicted edge (_Py_Dealloc, 70), makes
# a host object through the unnamed object.__new__ of a stripped interpreter
# (25, of which 15 in an unnamed allocation function that calls malloc, as on
# Debian's 3.14), allocates its own result with PyType_GenericAlloc directly
# (15) and asks an unnamed static method's descriptor for its function (6,
# allocating nothing): the first two are the host's objects, the last two
# the package's own work.
STRIPPED = """\
# callgrind format
version: 1
events: Ir
summary: 500

ob=(1) /usr/bin/python3.14
fl=(1) ???
fn=(1) main_loop
0 10
cob=(2) /venv/site-packages/vantor_lacet/__init__.cpython-314-x86_64-linux-gnu.so
cfn=(2) 0x0000000000006200
calls=1 0
0 196

ob=(2)
fl=(2) ???
fn=(2)
0 80
cob=(1)
cfn=(3) _Py_Dealloc
calls=1 0
0 70
cob=(1)
cfn=(4) 0x00000000002a1b40
calls=1 0
0 25
cob=(1)
cfn=(5) PyType_GenericAlloc
calls=1 0
0 15
cob=(1)
cfn=(6) 0x00000000002c0010
calls=1 0
0 6

ob=(1)
fn=(4)
0 10
cfn=(7) 0x00000000002a0000
calls=1 0
0 15
fn=(7)
0 11
cfn=(8) malloc
calls=1 0
0 4
fn=(6)
0 6
fn=(5)
0 11
cfn=(8)
calls=1 0
0 4
"""


def test_host_objects_count_as_host_work_named_or_not(tmp_path):
    split = split_of(tmp_path, STRIPPED)
    assert split["entered"] == 196
    assert split["host_objects"] == 95 and split["host_calls"] == 95
    assert split["index"] == 0
    assert split["own"] == 101  # 80 + 15 + 6
