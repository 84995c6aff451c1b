// The LacetExtension class: a heap type with an instance dictionary, weak
// references and GC support, whose methods are native method descriptors.
#include "calls.hpp"
#include "extension.hpp"
#include "method_layer.hpp"

#include <array>
#include <cstring>
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

// Untracked first, so that a collection run by a weakref callback or by a
// finalizer in the dictionary never visits a half-cleared object; weak
// references cleared while the object is still whole; then the dictionary;
// the type is released last, since an instance of a heap type owns a
// reference to it and tp_free is read from it.
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

// What a method does once its arguments are bound: `arg` holds them in
// parameter order (nullptr where an optional one was not given).
using Body = OwnedRef (*)(State* st, PyObject* self, PyObject* const* arg);

// Every method call enters here: the arguments bound by `sig`, the state
// found through the defining class `cls`, then `body`, whose result is
// handed back to Python.
template <const Signature& sig, Member member, Body body>
PyObject* invoke(PyObject* self, PyTypeObject* cls, const VectorcallArgs& call)
{
    PyObject* arg[5];
    if (bind_arguments(sig, call, arg) < 0) return nullptr;
    State* st = state_of_type(cls);
    if (!st) return nullptr;
    return hand_back(st->former_dict, member, body(st, self, arg));
}

// The count's type is the one PyCMethod declares on this version.
template <const Signature& sig, Member member, Body body>
PyObject* method_entry(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                       compat::cmethod_count nargsf, PyObject* kwnames)
{
    return invoke<sig, member, body>(self, cls, {args, static_cast<size_t>(nargsf), kwnames});
}

OwnedRef as_bool(int truth)
{
    return truth < 0 ? OwnedRef() : OwnedRef::owning(truth ? Py_True : Py_False);
}

OwnedRef config_body(State* st, PyObject* self, PyObject* const*)
{
    return instance_attr(self, st->at_self_config);
}

OwnedRef on_ingest_body(State* st, PyObject* self, PyObject* const* arg)
{
    IngestContext cx{st, self, arg[0], arg[1], nullptr};
    return on_ingest(cx);
}

OwnedRef on_ingest_batch_body(State* st, PyObject* self, PyObject* const* arg)
{
    IngestContext cx{st, self, arg[0], nullptr, nullptr};
    return on_ingest_batch(cx, arg[1]);
}

OwnedRef on_forget_body(State* st, PyObject* self, PyObject* const* arg)
{
    return on_forget(st, self, arg[0]);
}

OwnedRef retrieval_context_body(State* st, PyObject* self, PyObject* const* arg)
{
    return retrieval_context(st, self, arg[0]);
}

OwnedRef enforce_cap_body(State* st, PyObject* self, PyObject* const* arg)
{
    IngestContext cx{st, self, arg[0], nullptr, arg[4]};
    return as_bool(enforce_cap(cx, arg[1], arg[2], arg[3]));
}

OwnedRef are_connected_body(State* st, PyObject*, PyObject* const* arg)
{
    IngestContext cx{st, nullptr, arg[0], nullptr, nullptr};
    return as_bool(are_connected(cx, arg[1], arg[2]));
}

// The static method: the function's `self` is the class it was defined on.
PyObject* static_are_connected(PyObject* owner, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames)
{
    return invoke<connected_sig, Member::are_connected, are_connected_body>(
        nullptr, reinterpret_cast<PyTypeObject*>(owner),
        {args, static_cast<size_t>(nargs), kwnames});
}

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
        if (!kwnames) return -1;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
            flat[static_cast<std::size_t>(npos + k)] = value;
            ++k;
        }
    }
    PyObject* arg[3];
    if (bind_arguments(init_sig, {flat.data(), static_cast<size_t>(npos), kwnames.get()}, arg) <
        0) {
        return -1;
    }
    State* st = state_of_type(Py_TYPE(self));
    if (!st) return -1;
    // The values of `kwargs` are held here for the whole construction: the
    // dict is the caller's, and host code run by the constructor could
    // change it.
    OwnedRef service = OwnedRef::owning(arg[0]);
    OwnedRef graph = OwnedRef::owning(arg[1]);
    OwnedRef config = OwnedRef::owning(arg[2] ? arg[2] : Py_None);
    IngestContext cx{st, self, graph.get(), nullptr, nullptr};
    return traced(st->former_dict, Member::init, extension_init(cx, service.get(), config.get()));
}

constexpr int method_flags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

PyCFunction as_cfunction(PyCMethod method)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(method));
}

// `ext.__init__(...)`, as a slot wrapper like the __init__ of the built-in
// types, but carrying the parameter list. A method descriptor under that
// name would make inspect.signature(LacetExtension) fail on 3.13, which
// binds a class's own non-slot __init__ to the class itself.
PyObject* wrap_init(PyObject* self, PyObject* args, void*, PyObject* kwargs)
{
    if (slot_init(self, args, kwargs) < 0) return nullptr;
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

// A method of the class, entered with the defining class (METH_METHOD),
// under the last part of the signature's qualified name.
template <const Signature& sig, Member member, Body body>
PyMethodDef method_def(const char* text_signature)
{
    return {.ml_name = std::strchr(sig.qualname, '.') + 1,
            .ml_meth = as_cfunction(method_entry<sig, member, body>),
            .ml_flags = method_flags,
            .ml_doc = text_signature};
}

PyMethodDef config_def =
    method_def<config_sig, Member::config, config_body>("config($self)\n--\n\n");
PyMethodDef on_ingest_def = method_def<ingest_sig, Member::on_ingest, on_ingest_body>(
    "on_ingest($self, graph, node)\n--\n\n");
PyMethodDef on_ingest_batch_def =
    method_def<batch_sig, Member::on_ingest_batch, on_ingest_batch_body>(
        "on_ingest_batch($self, graph, nodes)\n--\n\n");
PyMethodDef on_forget_def = method_def<forget_sig, Member::on_forget, on_forget_body>(
    "on_forget($self, node_ids)\n--\n\n");
PyMethodDef retrieval_context_def =
    method_def<retrieval_sig, Member::retrieval_context, retrieval_context_body>(
        "retrieval_context($self, max_results)\n--\n\n");
PyMethodDef enforce_cap_def = method_def<cap_sig, Member::enforce_cap, enforce_cap_body>(
    "_enforce_cap($self, graph, a_id, b_id, similarity, result)\n--\n\n");
PyMethodDef are_connected_def = {
    .ml_name = "_are_connected",
    .ml_meth = reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)(void)>(static_are_connected)),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc = "_are_connected(graph, a_id, b_id)\n--\n\n"};

PyGetSetDef extension_getset[] = {
    {.name = "__dict__",
     .get = PyObject_GenericGetDict,
     .set = compat::set_managed_dict,
     .doc = nullptr,
     .closure = nullptr},
    {},
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

// Deliberately without Py_TPFLAGS_IMMUTABLETYPE: like a class statement's
// class, LacetExtension can be patched (a method swapped on the class is
// what the next ingest runs), and its members are bound after creation.
PyType_Spec extension_spec = {
    .name = "vantor_lacet.former.LacetExtension",
    .basicsize = 0,
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
             Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF,
    .slots = extension_slots,
};

// A method descriptor for `def`, bound on the class under its name.
OwnedRef bind_method(PyTypeObject* type, PyMethodDef* def)
{
    OwnedRef descriptor = OwnedRef::consuming(PyDescr_NewMethod(type, def));
    if (!descriptor) return {};
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), def->ml_name,
                               descriptor.get()) < 0) {
        return {};
    }
    return descriptor;
}

// property(fget) with the name a class body would give it, bound on the class.
int bind_read_only_property(State* st, PyTypeObject* type, PyMethodDef* def)
{
    OwnedRef fget = OwnedRef::consuming(PyDescr_NewMethod(type, def));
    if (!fget) return -1;
    OwnedRef prop = call(reinterpret_cast<PyObject*>(&PyProperty_Type), fget.get());
    if (!prop) return -1;
    auto* owner = reinterpret_cast<PyObject*>(type);
    if (!call_method(prop.get(), st->str___set_name__, owner, st->str_config)) return -1;
    return PyObject_SetAttr(owner, st->str_config, prop.get());
}

// The static method, with the function inside it: what an instance lookup
// of `_are_connected` yields.
OwnedRef bind_static_method(State* st, PyTypeObject* type, PyMethodDef* def)
{
    auto* owner = reinterpret_cast<PyObject*>(type);
    OwnedRef function =
        OwnedRef::consuming(PyCFunction_NewEx(def, owner, st->str_former_module_name));
    if (!function) return {};
    OwnedRef wrapper = OwnedRef::consuming(PyStaticMethod_New(function.get()));
    if (!wrapper) return {};
    if (PyObject_SetAttrString(owner, def->ml_name, wrapper.get()) < 0) return {};
    return function;
}

}  // namespace

PyTypeObject* create_extension_type(State* st, PyObject* module)
{
    OwnedRef type_object =
        OwnedRef::consuming(PyType_FromModuleAndSpec(module, &extension_spec, nullptr));
    if (!type_object) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(type_object.get());
    // The signature lives in the class's text signature; it has no docstring.
    if (PyObject_SetAttr(type_object.get(), st->str___doc__, Py_None) < 0) return nullptr;

    // Members bound one by one after creation, in the order a class
    // statement would define them, so the class dictionary lists them in
    // that order. Replacing the slot wrapper that type creation put under
    // __init__ keeps its place, first; construction then goes through it.
    OwnedRef init = OwnedRef::consuming(PyDescr_NewWrapper(type, &init_wrapper, nullptr));
    if (!init) return nullptr;
    if (PyObject_SetAttrString(type_object.get(), "__init__", init.get()) < 0) return nullptr;
    if (bind_read_only_property(st, type, &config_def) < 0) return nullptr;
    OwnedRef ingest = bind_method(type, &on_ingest_def);
    if (!ingest) return nullptr;
    for (PyMethodDef* def : {&on_ingest_batch_def, &on_forget_def, &retrieval_context_def}) {
        if (!bind_method(type, def)) return nullptr;
    }
    OwnedRef connected = bind_static_method(st, type, &are_connected_def);
    if (!connected) return nullptr;
    OwnedRef cap = bind_method(type, &enforce_cap_def);
    if (!cap) return nullptr;
    auto site = [](PyObject* name) { return AttrSite{name, 0, {}, 0, 0, nullptr, {}}; };
    st->own_on_ingest = {site(st->str_on_ingest), ingest.relinquish(), true, Member::on_ingest};
    st->own_enforce_cap = {site(st->str__enforce_cap), cap.relinquish(), true,
                           Member::enforce_cap};
    st->own_are_connected = {site(st->str__are_connected), connected.relinquish(), false,
                             Member::are_connected};
    return reinterpret_cast<PyTypeObject*>(type_object.relinquish());
}

}  // namespace lacet
