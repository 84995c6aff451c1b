#include "comparisons.hpp"

#include <climits>
#include <cstring>

namespace lacet {

namespace {

// The comparison operators of object itself: identity for == and !=,
// NotImplemented otherwise. Types that keep them (enum members, plain host
// objects) compare by identity.
bool compares_by_identity(PyObject* obj)
{
    return Py_TYPE(obj)->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

template <typename Number>
int compare_values(Number a, Number b, int op)
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

// An exact int's value, clamped to the range of long long: enough to
// compare it with a count or with zero.
long long clamped(PyObject* exact_int)
{
    Py_ssize_t compact;
    if (compat::compact_int(exact_int, &compact)) return compact;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(exact_int, &overflow);
    return overflow > 0 ? LLONG_MAX : overflow < 0 ? LLONG_MIN : value;
}

}  // namespace

bool str_equal(PyObject* a, PyObject* b)
{
    if (a == b) return true;
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) {
        return false;  // one text has one canonical kind
    }
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
}

int str_startswith(PyObject* text, PyObject* prefix)
{
    Py_ssize_t length = PyUnicode_GET_LENGTH(prefix);
    if (length > PyUnicode_GET_LENGTH(text)) return 0;
    if (PyUnicode_KIND(text) == PyUnicode_KIND(prefix)) {
        return std::memcmp(PyUnicode_DATA(text), PyUnicode_DATA(prefix),
                           static_cast<std::size_t>(length) * PyUnicode_KIND(prefix)) == 0;
    }
    Py_ssize_t match = PyUnicode_Tailmatch(text, prefix, 0, PY_SSIZE_T_MAX, -1);
    return match < 0 ? -1 : match > 0;
}

int compare(PyObject* a, PyObject* b, int op)
{
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        return compare_values(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b), op);
    }
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
        Py_ssize_t x, y;
        if (compat::compact_int(a, &x) && compat::compact_int(b, &y)) {
            return compare_values(x, y, op);
        }
    }
    if ((op == Py_EQ || op == Py_NE) && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        return (op == Py_EQ) == str_equal(a, b);
    }
    if ((op == Py_EQ || op == Py_NE) && compares_by_identity(a) && compares_by_identity(b)) {
        return (op == Py_EQ) == (a == b);
    }
    OwnedRef answer = OwnedRef::consuming(PyObject_RichCompare(a, b, op));
    if (!answer) return -1;
    if (answer.is(Py_True)) return 1;
    if (answer.is(Py_False)) return 0;
    return truth(answer.get());
}

int count_at_least(Py_ssize_t count, PyObject* bound)
{
    if (PyLong_CheckExact(bound)) return count >= clamped(bound);
    OwnedRef boxed = OwnedRef::consuming(PyLong_FromSsize_t(count));
    if (!boxed) return -1;
    return py_ge(boxed.get(), bound);
}

int at_most_zero(PyObject* bound)
{
    if (PyLong_CheckExact(bound)) return clamped(bound) <= 0;
    OwnedRef zero = OwnedRef::consuming(PyLong_FromLong(0));
    if (!zero) return -1;
    return compare(bound, zero.get(), Py_LE);
}

}  // namespace lacet
