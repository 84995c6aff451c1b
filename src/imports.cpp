#include "imports.hpp"

#include "attributes.hpp"

namespace lacet {

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
