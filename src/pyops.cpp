#include "pyops.hpp"

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

OwnedRef former_global(State* st, PyObject* name) { return global(st, st->former_dict, name); }

OwnedRef former_global(State* st, GlobalCache& cache)
{
    uint64_t version = compat::dict_version(st->former_dict);
    if (version != 0 && version == cache.version) return OwnedRef::owning(cache.value);
    cache.version = 0;
    PyObject* found = PyDict_GetItemWithError(st->former_dict, cache.name);
    if (!found) return global(st, st->former_dict, cache.name);
    // Kept only when the lookup changed nothing (a key's __eq__ could).
    if (compat::dict_version(st->former_dict) == version) {
        cache = {cache.name, version, found};
    }
    return OwnedRef::owning(found);
}

OwnedRef global(State* st, PyObject* globals, PyObject* name)
{
    OwnedRef found;
    if (dict_lookup(globals, name, found) != 0) return found;
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins && dict_lookup(builtins, name, found) != 0) return found;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    PyObject* error = PyErr_GetRaisedException();
    if (PyObject_SetAttr(error, st->str_name, name) < 0) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(error);
    return {};
}

namespace {

// 0 when a method call gave a result, -1 with its error set.
int status_of(const OwnedRef& called)
{
    return called ? 0 : -1;
}

}  // namespace

// Each of these takes the exact builtin's own operation where it can, and
// otherwise calls the method, as `container.append(item)` would.
int append_to(State* st, PyObject* container, PyObject* item)
{
    return PyList_CheckExact(container) ? PyList_Append(container, item)
                                        : status_of(call_method(container, st->str_append, item));
}

int add_to(State* st, PyObject* container, PyObject* item)
{
    return PySet_CheckExact(container) ? PySet_Add(container, item)
                                       : status_of(call_method(container, st->str_add, item));
}

int store_item(PyObject* container, PyObject* key, PyObject* value)
{
    return PyDict_CheckExact(container) ? PyDict_SetItem(container, key, value)
                                        : PyObject_SetItem(container, key, value);
}

int extend_with(State* st, PyObject* container, PyObject* items)
{
    if (PyList_CheckExact(container) && (PyList_CheckExact(items) || PyTuple_CheckExact(items))) {
        Py_ssize_t end = PyList_GET_SIZE(container);
        return PyList_SetSlice(container, end, end, items);
    }
    return call_method(container, st->str_extend, items) ? 0 : -1;
}

int unpack_pair(PyObject* item, OwnedRef& first, OwnedRef& second)
{
    if ((PyTuple_CheckExact(item) || PyList_CheckExact(item)) && Py_SIZE(item) == 2) {
        PyObject** items = PyTuple_CheckExact(item) ? &PyTuple_GET_ITEM(item, 0)
                                                    : &PyList_GET_ITEM(item, 0);
        first = OwnedRef::owning(items[0]);
        second = OwnedRef::owning(items[1]);
        return 0;
    }
    if (Py_TYPE(item)->tp_iter == nullptr && !PySequence_Check(item)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(item)->tp_name);
        return -1;
    }
    OwnedRef iterator = OwnedRef::consuming(PyObject_GetIter(item));
    if (!iterator) return -1;
    OwnedRef* targets[2] = {&first, &second};
    for (int got = 0; got < 2; ++got) {
        *targets[got] = OwnedRef::consuming(PyIter_Next(iterator.get()));
        if (!*targets[got]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError,
                             "not enough values to unpack (expected 2, got %d)", got);
            }
            return -1;
        }
    }
    OwnedRef extra = OwnedRef::consuming(PyIter_Next(iterator.get()));
    if (!extra) return PyErr_Occurred() ? -1 : 0;
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return -1;
}

int import_from(PyObject* globals, PyObject* module_name, PyObject* fromlist, OwnedRef* out)
{
    OwnedRef module = OwnedRef::consuming(
        PyImport_ImportModuleLevelObject(module_name, globals, nullptr, fromlist, 0));
    if (!module) return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fromlist); ++i) {
        PyObject* name = PyTuple_GET_ITEM(fromlist, i);
        out[i] = getattr(module.get(), name);
        if (out[i]) continue;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        // A submodule of a package that is loaded but not bound yet.
        OwnedRef full = OwnedRef::consuming(PyUnicode_FromFormat("%U.%U", module_name, name));
        if (!full) return -1;
        PyObject* modules = PyImport_GetModuleDict();
        int loaded = dict_lookup(modules, full.get(), out[i]);
        if (loaded < 0) return -1;
        if (loaded) continue;
        OwnedRef path = OwnedRef::consuming(PyModule_GetFilenameObject(module.get()));
        OwnedRef message;
        if (path && PyUnicode_Check(path.get())) {
            message = OwnedRef::consuming(PyUnicode_FromFormat(
                "cannot import name %R from %R (%S)", name, module_name, path.get()));
        }
        else {
            PyErr_Clear();
            message = OwnedRef::consuming(PyUnicode_FromFormat(
                "cannot import name %R from %R (unknown location)", name, module_name));
        }
        if (!message) return -1;
        PyErr_SetImportError(message.get(), module_name, path.get());
        return -1;
    }
    return 0;
}

}  // namespace lacet
