// The LacetExtension class: a heap type with an instance dictionary, weak
// references and GC support, whose methods are native method descriptors.
#include "arguments.hpp"
#include "error_context.hpp"
#include "extension.hpp"
#include "pyops.hpp"

#include <array>
#include <vector>

namespace lacet {

namespace {

// Instances have the layout of a plain Python object: the interpreter
// manages the instance dictionary and the weak-reference list.
int extension_traverse(PyObject* self, visitproc visit, void* arg)
{
    Py_VISIT(Py_TYPE(self));
    return compat::visit_managed_dict(self, visit, arg);
}

int extension_clear(PyObject* self)
{
    compat::clear_managed_dict(self);
    return 0;
}

void extension_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    extension_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- parameter lists --------------------------------------------------

constexpr const char* init_names[] = {"service", "graph", "config"};
constexpr Signature init_sig{"LacetExtension.__init__", init_names, 3, 2, true};
constexpr Signature config_sig{"LacetExtension.config", nullptr, 0, 0, true};
constexpr const char* ingest_names[] = {"graph", "node"};
constexpr Signature ingest_sig{"LacetExtension.on_ingest", ingest_names, 2, 2, true};
constexpr const char* batch_names[] = {"graph", "nodes"};
constexpr Signature batch_sig{"LacetExtension.on_ingest_batch", batch_names, 2, 2, true};
constexpr const char* forget_names[] = {"node_ids"};
constexpr Signature forget_sig{"LacetExtension.on_forget", forget_names, 1, 1, true};
constexpr const char* retrieval_names[] = {"max_results"};
constexpr Signature retrieval_sig{"LacetExtension.retrieval_context", retrieval_names, 1, 1,
                                  true};
constexpr const char* connected_names[] = {"graph", "a_id", "b_id"};
constexpr Signature connected_sig{"LacetExtension._are_connected", connected_names, 3, 3,
                                  false};
constexpr const char* cap_names[] = {"graph", "a_id", "b_id", "similarity", "result"};
constexpr Signature cap_sig{"LacetExtension._enforce_cap", cap_names, 5, 5, true};

// ---- method entry points -----------------------------------------------

#define LACET_BIND(sig, n)                                             \
    std::array<PyObject*, (n) == 0 ? 1 : (n)> arg{};                   \
    if (bind_arguments(sig, args, static_cast<Py_ssize_t>(PyVectorcall_NARGS(nargs)), kwnames, arg.data()) < 0) {   \
        return nullptr;                                                \
    }                                                                  \
    State* st = state_of_type(cls);                                    \
    if (!st) {                                                         \
        return nullptr;                                                \
    }

PyObject* meth_config(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargs,
                      PyObject* kwnames)
{
    LACET_BIND(config_sig, 0)
    return traced(st->former_dict, Member::config, instance_attr(self, st->_config).relinquish());
}

PyObject* meth_on_ingest(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                         size_t nargs, PyObject* kwnames)
{
    LACET_BIND(ingest_sig, 2)
    return traced(st->former_dict, Member::on_ingest, on_ingest(st, self, arg[0], arg[1]));
}

PyObject* meth_on_ingest_batch(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                               size_t nargs, PyObject* kwnames)
{
    LACET_BIND(batch_sig, 2)
    return traced(st->former_dict, Member::on_ingest_batch, on_ingest_batch(st, self, arg[0], arg[1]));
}

PyObject* meth_on_forget(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                         size_t nargs, PyObject* kwnames)
{
    LACET_BIND(forget_sig, 1)
    return traced(st->former_dict, Member::on_forget, on_forget(st, self, arg[0]));
}

PyObject* meth_retrieval_context(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                 size_t nargs, PyObject* kwnames)
{
    LACET_BIND(retrieval_sig, 1)
    return traced(st->former_dict, Member::retrieval_context, retrieval_context(st, self, arg[0]));
}

PyObject* meth_enforce_cap(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                           size_t nargs, PyObject* kwnames)
{
    LACET_BIND(cap_sig, 5)
    int admitted = traced(st->former_dict, Member::enforce_cap,
                          enforce_cap(st, self, arg[0], arg[1], arg[2], arg[3], arg[4]));
    if (admitted < 0) {
        return nullptr;
    }
    return PyBool_FromLong(admitted);
}

// The static method: the function's `self` is the class it was defined on.
PyObject* static_are_connected(PyObject* owner, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames)
{
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(owner);
    LACET_BIND(connected_sig, 3)
    int connected =
        traced(st->former_dict, Member::are_connected, are_connected(st, arg[0], arg[1], arg[2]));
    if (connected < 0) {
        return nullptr;
    }
    return PyBool_FromLong(connected);
}

#undef LACET_BIND

// type(...)(*args, **kwargs) arrives here with a tuple and a dict.
int slot_init(PyObject* self, PyObject* args, PyObject* kwargs)
{
    Py_ssize_t npos = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    std::vector<PyObject*> flat(static_cast<std::size_t>(npos + nkw));
    for (Py_ssize_t i = 0; i < npos; ++i) {
        flat[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    }
    OwnedRef kwnames;
    if (nkw) {
        kwnames = OwnedRef::consuming(PyTuple_New(nkw));
        if (!kwnames) {
            return -1;
        }
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
            flat[static_cast<std::size_t>(npos + k)] = value;
            ++k;
        }
    }
    std::array<PyObject*, 3> arg{};
    if (bind_arguments(init_sig, flat.data(), npos, kwnames.get(), arg.data()) < 0) {
        return -1;
    }
    State* st = state_of_type(Py_TYPE(self));
    if (!st) {
        return -1;
    }
    // The values of `kwargs` are held here for the whole construction.
    OwnedRef service = OwnedRef::owning(arg[0]);
    OwnedRef graph = OwnedRef::owning(arg[1]);
    OwnedRef config = OwnedRef::owning(arg[2] ? arg[2] : Py_None);
    return traced(st->former_dict, Member::init,
                  extension_init(st, self, service.get(), graph.get(), config.get()));
}

constexpr int method_flags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

PyCFunction as_cfunction(PyCMethod method) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(method)); }

// `ext.__init__(...)`, as a slot wrapper like the __init__ of the built-in
// types, but carrying the parameter list. A method descriptor under that
// name would make inspect.signature(LacetExtension) fail on 3.13, which
// binds a class's own non-slot __init__ to the class itself.
PyObject* wrap_init(PyObject* self, PyObject* args, void*, PyObject* kwargs)
{
    if (slot_init(self, args, kwargs) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

wrapperbase init_wrapper = {
    .name = "__init__",
    .offset = 0,
    .function = nullptr,
    .wrapper = reinterpret_cast<wrapperfunc>(reinterpret_cast<void (*)(void)>(wrap_init)),
    .doc = "__init__($self, service, graph, config=None)\n--\n\n",
    .flags = PyWrapperFlag_KEYWORDS,
    .name_strobj = nullptr,
};

PyMethodDef config_def = {"config", as_cfunction(meth_config), method_flags,
                          "config($self)\n--\n\n"};
PyMethodDef on_ingest_def = {"on_ingest", as_cfunction(meth_on_ingest), method_flags,
                             "on_ingest($self, graph, node)\n--\n\n"};
PyMethodDef on_ingest_batch_def = {"on_ingest_batch", as_cfunction(meth_on_ingest_batch),
                                   method_flags, "on_ingest_batch($self, graph, nodes)\n--\n\n"};
PyMethodDef on_forget_def = {"on_forget", as_cfunction(meth_on_forget), method_flags,
                             "on_forget($self, node_ids)\n--\n\n"};
PyMethodDef retrieval_context_def = {"retrieval_context", as_cfunction(meth_retrieval_context),
                                     method_flags, "retrieval_context($self, max_results)\n--\n\n"};
PyMethodDef are_connected_def = {
    "_are_connected",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(static_are_connected)),
    METH_FASTCALL | METH_KEYWORDS, "_are_connected(graph, a_id, b_id)\n--\n\n"};
PyMethodDef enforce_cap_def = {"_enforce_cap", as_cfunction(meth_enforce_cap), method_flags,
                               "_enforce_cap($self, graph, a_id, b_id, similarity, result)\n--\n\n"};

PyGetSetDef extension_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot extension_slots[] = {
    {Py_tp_doc, const_cast<char*>("LacetExtension(service, graph, config=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(slot_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(extension_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(extension_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(extension_clear)},
    {Py_tp_getset, extension_getset},
    {0, nullptr},
};

PyType_Spec extension_spec = {
    "vantor_lacet.former.LacetExtension",
    0,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT |
        Py_TPFLAGS_MANAGED_WEAKREF,
    extension_slots,
};

// A method descriptor for `def`, bound on the class under its name.
OwnedRef bind_method(PyTypeObject* type, PyMethodDef* def)
{
    OwnedRef descriptor = OwnedRef::consuming(PyDescr_NewMethod(type, def));
    if (!descriptor ||
        PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), def->ml_name, descriptor.get()) < 0) {
        return {};
    }
    return descriptor;
}

// property(fget) with the name a class body would give it.
OwnedRef read_only_property(State* st, PyTypeObject* type, OwnedRef fget)
{
    if (!fget) {
        return {};
    }
    OwnedRef prop = call(reinterpret_cast<PyObject*>(&PyProperty_Type), fget.get());
    if (!prop) {
        return {};
    }
    if (!call_method(prop.get(), st->__set_name__, reinterpret_cast<PyObject*>(type), st->config)) {
        return {};
    }
    return prop;
}

}  // namespace

PyTypeObject* create_extension_type(State* st, PyObject* module)
{
    OwnedRef type_object =
        OwnedRef::consuming(PyType_FromModuleAndSpec(module, &extension_spec, nullptr));
    if (!type_object) {
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(type_object.get());
    // The signature lives in the class's text signature; it has no docstring.
    if (PyObject_SetAttr(type_object.get(), st->__doc__, Py_None) < 0) {
        return nullptr;
    }

    // Members in their order of definition. Replacing the slot wrapper
    // that type creation put under __init__ keeps its place in the class
    // dictionary; construction then goes through that wrapper.
    OwnedRef init = OwnedRef::consuming(PyDescr_NewWrapper(type, &init_wrapper, nullptr));
    if (!init || PyObject_SetAttrString(type_object.get(), "__init__", init.get()) < 0) {
        return nullptr;
    }
    OwnedRef config =
        read_only_property(st, type, OwnedRef::consuming(PyDescr_NewMethod(type, &config_def)));
    if (!config || PyObject_SetAttr(type_object.get(), st->config, config.get()) < 0) {
        return nullptr;
    }
    OwnedRef ingest = bind_method(type, &on_ingest_def);
    if (!ingest || !bind_method(type, &on_ingest_batch_def) || !bind_method(type, &on_forget_def) ||
        !bind_method(type, &retrieval_context_def)) {
        return nullptr;
    }
    OwnedRef connected_function = OwnedRef::consuming(
        PyCFunction_NewEx(&are_connected_def, type_object.get(), st->former_module_name));
    OwnedRef connected = connected_function
                             ? OwnedRef::consuming(PyStaticMethod_New(connected_function.get()))
                             : OwnedRef();
    if (!connected || PyObject_SetAttr(type_object.get(), st->_are_connected, connected.get()) < 0) {
        return nullptr;
    }
    OwnedRef cap = bind_method(type, &enforce_cap_def);
    if (!cap) {
        return nullptr;
    }
    st->own_on_ingest = ingest.relinquish();
    st->own_enforce_cap = cap.relinquish();
    st->own_are_connected = connected_function.relinquish();
    return reinterpret_cast<PyTypeObject*>(type_object.relinquish());
}

}  // namespace lacet
