#include "class_call.hpp"

namespace lacet {

PyObject* plain_init(State* st, ConstructorCache& cache, PyObject* cls)
{
    // The metaclass is not covered by the class's tag: checked every time.
    if (!compat::called_by_type_call(cls)) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) return nullptr;
    if (compat::has_version_tag(type, cache.version)) return cache.init;
    cache.version = 0;
    if (!compat::object_new_and_python_init(type, st->python_init_slot)) return nullptr;
    PyObject* init = compat::type_lookup(type, st->str___init__);
    if (!init || !PyFunction_Check(init)) return nullptr;
    unsigned int tag = compat::assign_version_tag(type);
    if (!tag) return nullptr;
    cache = {tag, init};
    return init;
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
