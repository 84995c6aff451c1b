#include "class_call.hpp"

namespace lacet {

PyObject* plain_init(State* st, ConstructorCache& cache, PyObject* cls)
{
    // The metaclass is not covered by the class's tag: checked every time.
    if (!compat::called_by_type_call(cls)) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) return nullptr;
    if (compat::has_version_tag(type, cache.version)) {
        ++cache.counts.hits;
        return cache.init;
    }
    ++cache.counts.misses;
    // What is learned holds while the class keeps its tag, a class that
    // takes the generic call included.
    PyObject* init = nullptr;
    if (compat::object_new_and_python_init(type, st->python_init_slot)) {
        init = compat::type_lookup(type, st->str___init__);
        if (init && !PyFunction_Check(init)) {
            init = nullptr;
        }
    }
    unsigned int tag = compat::assign_version_tag(type);
    cache = {tag, init, cache.counts};
    return tag ? init : nullptr;
}

int init_generic(State* st, PyObject* self, PyObject* const* values, PyObject* kwnames)
{
    initproc init = Py_TYPE(self)->tp_init;
    if (!init) return 0;
    OwnedRef kwargs = OwnedRef::consuming(PyDict_New());
    if (!kwargs) return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), values[i]) < 0) return -1;
    }
    return init(self, st->empty_tuple, kwargs.get());
}

}  // namespace lacet
