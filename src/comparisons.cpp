#include "comparisons.hpp"

#include <climits>
#include <cstring>

namespace lacet {

namespace {

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

bool str_equal_contents(PyObject* a, PyObject* b)
{
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(PyUnicode_GET_LENGTH(a)) * PyUnicode_KIND(a)) == 0;
}

int str_startswith_contents(PyObject* text, PyObject* prefix)
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

int compare_generic(PyObject* a, PyObject* b, int op)
{
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
