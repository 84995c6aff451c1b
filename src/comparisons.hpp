// Truth tests and comparisons with the exact semantics of the Python
// operators, and fast paths that give the same answers for builtin types.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

namespace lacet {

// `bool(obj)`: 1, 0, or -1 with an exception set.
inline int truth(PyObject* obj)
{
    if (PyUnicode_CheckExact(obj)) return PyUnicode_GET_LENGTH(obj) != 0;
    return PyObject_IsTrue(obj);
}

// The truth of a call's result: -1 when the call failed (exception set).
inline int truth_of(const OwnedRef& result) { return result ? truth(result.get()) : -1; }

// `a == b`, `a != b`, `a < b`, `a >= b`, `a <= b` followed by a truth test,
// without the identity shortcut of PyObject_RichCompareBool (Python's
// operators call __eq__ even on the same object). 1, 0, or -1 on error.
int compare(PyObject* a, PyObject* b, int op);
inline int py_eq(PyObject* a, PyObject* b) { return compare(a, b, Py_EQ); }
inline int py_ne(PyObject* a, PyObject* b) { return compare(a, b, Py_NE); }
inline int py_lt(PyObject* a, PyObject* b) { return compare(a, b, Py_LT); }
inline int py_ge(PyObject* a, PyObject* b) { return compare(a, b, Py_GE); }

// Equality of two exact strs, and `text.startswith(prefix)` for exact strs
// (1, 0, or -1 with an exception set).
bool str_equal(PyObject* a, PyObject* b);
int str_startswith(PyObject* text, PyObject* prefix);

// `count >= bound` and `bound <= 0` for an arbitrary `bound`.
int count_at_least(Py_ssize_t count, PyObject* bound);
int at_most_zero(PyObject* bound);

}  // namespace lacet
