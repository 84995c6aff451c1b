#include "globals.hpp"

namespace lacet {

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

}  // namespace lacet
