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

// Equality of two exact strs of different identity and the same length
// and kind, and `text.startswith(prefix)` for exact strs that are not the
// same object (1, 0, or -1 with an exception set): the parts of the two
// below that are not in line.
bool str_equal_contents(PyObject* a, PyObject* b);
int str_startswith_contents(PyObject* text, PyObject* prefix);

// Equality of two exact strs.
inline bool str_equal(PyObject* a, PyObject* b)
{
    if (a == b) return true;
    if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b) ||
        PyUnicode_KIND(a) != PyUnicode_KIND(b)) {
        return false;  // one text has one canonical kind
    }
    return str_equal_contents(a, b);
}

// `text.startswith(prefix)` for exact strs: 1, 0, or -1 with an exception
// set. A text starts with itself; the edges the package makes carry the
// very prefix object they are tested against.
inline int str_startswith(PyObject* text, PyObject* prefix)
{
    if (text == prefix) return 1;
    return str_startswith_contents(text, prefix);
}

// The comparison of any two objects, without the fast paths below.
int compare_generic(PyObject* a, PyObject* b, int op);

namespace detail {

// The comparison operators of object itself: identity for == and !=,
// NotImplemented otherwise. Types that keep them (enum members, plain host
// objects) compare by identity.
inline bool compares_by_identity(PyObject* obj)
{
    return Py_TYPE(obj)->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

template <typename Number>
inline int compare_values(Number a, Number b, int op)
{
    switch (op) {
    case Py_EQ: return a == b;
    case Py_NE: return a != b;
    case Py_LT: return a < b;
    case Py_LE: return a <= b;
    case Py_GT: return a > b;
    default: return a >= b;
    }
}

}  // namespace detail

// `a == b`, `a != b`, `a < b`, `a >= b`, `a <= b` followed by a truth test,
// without the identity shortcut of PyObject_RichCompareBool (Python's
// operators call __eq__ even on the same object). 1, 0, or -1 on error.
// The builtin types the ingest compares (floats, small ints, strs, objects
// that keep object's comparisons) are answered here in line, as their own
// comparison would answer; everything else takes the operator's full path.
inline int compare(PyObject* a, PyObject* b, int op)
{
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        return detail::compare_values(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b), op);
    }
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
        Py_ssize_t x, y;
        if (compat::compact_int(a, &x) && compat::compact_int(b, &y)) {
            return detail::compare_values(x, y, op);
        }
    }
    if (op == Py_EQ || op == Py_NE) {
        if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
            return (op == Py_EQ) == str_equal(a, b);
        }
        if (detail::compares_by_identity(a) && detail::compares_by_identity(b)) {
            return (op == Py_EQ) == (a == b);
        }
    }
    return compare_generic(a, b, op);
}
inline int py_eq(PyObject* a, PyObject* b) { return compare(a, b, Py_EQ); }
inline int py_ne(PyObject* a, PyObject* b) { return compare(a, b, Py_NE); }
inline int py_lt(PyObject* a, PyObject* b) { return compare(a, b, Py_LT); }
inline int py_ge(PyObject* a, PyObject* b) { return compare(a, b, Py_GE); }

// `count >= bound` and `bound <= 0` for an arbitrary `bound`.
int count_at_least(Py_ssize_t count, PyObject* bound);
int at_most_zero(PyObject* bound);

}  // namespace lacet
