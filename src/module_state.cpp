#include "module_state.hpp"

#include <initializer_list>

namespace lacet {

namespace {

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

PyObject* name_tuple(std::initializer_list<const char*> names)
{
    OwnedRef tuple = OwnedRef::consuming(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* item = intern(name);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i++, item);
    }
    return tuple.relinquish();
}

}  // namespace

int state_init(State* st)
{
    st->former_watcher = -1;
#define LACET_INIT_NAME(name)              \
    if (!(st->str_##name = intern(#name))) { \
        return -1;                         \
    }
#define LACET_INIT_TEXT(name, text)       \
    if (!(st->str_##name = intern(text))) { \
        return -1;                        \
    }
#define LACET_INIT_TUPLE(name, ...)                    \
    if (!(st->name = name_tuple({__VA_ARGS__}))) {     \
        return -1;                                     \
    }
    LACET_IDENTIFIERS(LACET_INIT_NAME)
    LACET_TEXTS(LACET_INIT_TEXT)
    LACET_NAME_TUPLES(LACET_INIT_TUPLE)
#undef LACET_INIT_NAME
#undef LACET_INIT_TEXT
#undef LACET_INIT_TUPLE
#define LACET_INIT_SITE(site, name) st->at_##site = {st->str_##name, 0, {}, 0, 0, nullptr, {}};
    LACET_ATTRIBUTE_SITES(LACET_INIT_SITE)
#undef LACET_INIT_SITE
#define LACET_INIT_GLOBAL(name) st->global_##name = {st->str_##name, 0, nullptr, {}};
    LACET_CACHED_GLOBALS(LACET_INIT_GLOBAL)
#undef LACET_INIT_GLOBAL
    st->empty_tuple = PyTuple_New(0);
    return st->empty_tuple ? 0 : -1;
}

// Only LACET_CYCLE_FIELDS are visited (see there for why).
int state_traverse(State* st, visitproc visit, void* arg)
{
#define LACET_VISIT_FIELD(field) Py_VISIT(st->field);
    LACET_CYCLE_FIELDS(LACET_VISIT_FIELD)
#undef LACET_VISIT_FIELD
    return 0;
}

void state_clear(State* st)
{
#define LACET_CLEAR_NAME(name) Py_CLEAR(st->str_##name);
#define LACET_CLEAR_TEXT(name, text) Py_CLEAR(st->str_##name);
#define LACET_CLEAR_TUPLE(name, ...) Py_CLEAR(st->name);
    LACET_IDENTIFIERS(LACET_CLEAR_NAME)
    LACET_TEXTS(LACET_CLEAR_TEXT)
    LACET_NAME_TUPLES(LACET_CLEAR_TUPLE)
#undef LACET_CLEAR_NAME
#undef LACET_CLEAR_TEXT
#undef LACET_CLEAR_TUPLE
#define LACET_CLEAR_FIELD(field) Py_CLEAR(st->field);
    LACET_CYCLE_FIELDS(LACET_CLEAR_FIELD)
#undef LACET_CLEAR_FIELD
    Py_CLEAR(st->empty_tuple);
}

State* state_of_module(PyObject* module)
{
    auto* st = static_cast<State*>(PyModule_GetState(module));
    if (st && !st->former_dict) {
        PyErr_SetString(PyExc_RuntimeError, "vantor_lacet has been unloaded");
        return nullptr;
    }
    return st;
}

State* state_of_type(PyTypeObject* cls)
{
    PyObject* module = PyType_GetModuleByDef(cls, &package_def);
    if (!module) return nullptr;
    return state_of_module(module);
}

}  // namespace lacet
