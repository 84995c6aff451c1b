#include "method_layer.hpp"

#include <cstring>

namespace lacet {

namespace {

void too_many_positional(const Signature& sig, Py_ssize_t given)
{
    Py_ssize_t shift = sig.bound ? 1 : 0;
    Py_ssize_t low = sig.required + shift;
    Py_ssize_t high = sig.count + shift;
    const char* noun = high == 1 ? "argument" : "arguments";
    const char* verb = given + shift == 1 ? "was" : "were";
    if (low == high) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional %s but %zd %s given",
                     sig.qualname, high, noun, given + shift, verb);
    }
    else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional %s but %zd %s given",
                     sig.qualname, low, high, noun, given + shift, verb);
    }
}

void missing(const Signature& sig, PyObject** out)
{
    OwnedRef names = OwnedRef::consuming(PyList_New(0));
    if (!names) return;
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (!out[i]) {
            OwnedRef quoted = OwnedRef::consuming(PyUnicode_FromFormat("'%s'", sig.names[i]));
            if (!quoted || PyList_Append(names.get(), quoted.get()) < 0) return;
        }
    }
    Py_ssize_t n = PyList_GET_SIZE(names.get());
    OwnedRef listed;
    if (n == 1) {
        listed = OwnedRef::owning(PyList_GET_ITEM(names.get(), 0));
    }
    else {
        // 'a' and 'b' / 'a', 'b', and 'c'
        OwnedRef head = OwnedRef::consuming(PyList_GetSlice(names.get(), 0, n - 1));
        OwnedRef separator = OwnedRef::consuming(PyUnicode_FromString(", "));
        if (!head || !separator) return;
        OwnedRef joined = OwnedRef::consuming(PyUnicode_Join(separator.get(), head.get()));
        if (!joined) return;
        PyObject* last = PyList_GET_ITEM(names.get(), n - 1);
        listed = OwnedRef::consuming(
            PyUnicode_FromFormat(n == 2 ? "%U and %U" : "%U, and %U", joined.get(), last));
    }
    if (!listed) return;
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %U",
                 sig.qualname, n, n == 1 ? "" : "s", listed.get());
}

Py_ssize_t parameter_index(const Signature& sig, PyObject* keyword)
{
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, sig.names[i]) == 0) return i;
    }
    return -1;
}

}  // namespace

int bind_arguments(const Signature& sig, const VectorcallArgs& call, PyObject** out)
{
    PyObject* const* args = call.args;
    PyObject* kwnames = call.kwnames;
    Py_ssize_t nargs = PyVectorcall_NARGS(call.nargsf);
    if (nargs > sig.count) {
        too_many_positional(sig, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        out[i] = i < nargs ? args[i] : nullptr;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = parameter_index(sig, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         sig.qualname, keyword);
            return -1;
        }
        if (out[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         sig.qualname, sig.names[index]);
            return -1;
        }
        out[index] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (!out[i]) {
            missing(sig, out);
            return -1;
        }
    }
    return 0;
}

}  // namespace lacet
