// The package vantor_lacet: module initialisation, the submodule
// vantor_lacet.former, the re-exports, __all__ and build_extension.
#include "cache_counts.hpp"
#include "calls.hpp"
#include "former_module.hpp"
#include "globals.hpp"
#include "instance_layout.hpp"
#include "method_layer.hpp"

#include <cstdlib>
#include <cstring>

namespace lacet {

namespace {

constexpr const char* build_names[] = {"service", "graph", "config"};
constexpr Signature build_sig{"build_extension", build_names, 3, 2, false};

// build_extension(service, graph, config=None): LacetExtension as bound in
// the package namespace now, called with all three arguments by keyword.
PyObject* build_extension(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames)
{
    PyObject* arg[3];
    if (bind_arguments(build_sig, {args, static_cast<size_t>(nargs), kwnames}, arg) < 0) {
        return nullptr;
    }
    State* st = state_of_module(module);
    if (!st) return nullptr;
    PyObject* globals = PyModule_GetDict(module);
    OwnedRef extension_class = global(st, globals, st->str_LacetExtension);
    if (!extension_class) return hand_back(globals, Member::build_extension, {});
    return hand_back(globals, Member::build_extension,
                     call_kw(extension_class.get(), st->kw_build_extension, arg[0], arg[1],
                             arg[2] ? arg[2] : Py_None));
}

// _cache_counts(): how often each cache of this module instance has hit and
// missed (see cache_counts.hpp). For the tests and the benchmarks, and bound
// in the package only when COUNTS_SWITCH is "1" at import (counts_wanted).
PyObject* cache_counts_of(PyObject* module, PyObject*)
{
    State* st = state_of_module(module);
    if (!st) return nullptr;
    return cache_counts(st).relinquish();
}

PyMethodDef cache_counts_def = {
    .ml_name = "_cache_counts",
    .ml_meth = cache_counts_of,
    .ml_flags = METH_NOARGS,
    .ml_doc = "_cache_counts()\n--\n\n",
};

PyMethodDef build_extension_def = {
    .ml_name = "build_extension",
    .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(build_extension)),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc = "build_extension(service, graph, config=None)\n--\n\n",
};

// A module object for vantor_lacet.former, with the import attributes a
// submodule of this package has. It shares the package's loader and origin.
OwnedRef new_former_module(State* st, PyObject* package)
{
    OwnedRef former = OwnedRef::consuming(PyModule_NewObject(st->str_former_module_name));
    if (!former) return {};
    if (setattr(former.get(), st->str___package__, st->str_package_name) < 0) return {};
    OwnedRef package_spec = getattr(package, st->str___spec__);
    if (!package_spec) return {};
    if (package_spec.is_none()) return former;
    OwnedRef loader = getattr(package_spec.get(), st->str_loader);
    if (!loader) return {};
    OwnedRef origin = getattr(package_spec.get(), st->str_origin);
    if (!origin) return {};
    if (setattr(former.get(), st->str___loader__, loader.get()) < 0) return {};
    OwnedRef origin_kw = OwnedRef::consuming(PyTuple_Pack(1, st->str_origin));
    if (!origin_kw) return {};
    // ModuleSpec("vantor_lacet.former", loader, origin=origin)
    OwnedRef former_spec = call_kw(reinterpret_cast<PyObject*>(Py_TYPE(package_spec.get())),
                            origin_kw.get(), st->str_former_module_name, loader.get(),
                            origin.get());
    if (!former_spec) return {};
    if (setattr(former.get(), st->str___spec__, former_spec.get()) < 0) return {};
    if (PyUnicode_Check(origin.get()) &&
        setattr(former.get(), st->str___file__, origin.get()) < 0) {
        return {};
    }
    return former;
}

// The caches count their hits and misses always (the counting is a few
// increments, and so the code measured is the code a host runs); whether
// the package's namespace offers the counts is read once, at import, from
// the process environment, so that the namespace is exactly the documented
// one unless a test or a benchmark asks otherwise.
constexpr const char* COUNTS_SWITCH = "VANTOR_LACET_CACHE_COUNTS";

bool counts_wanted()
{
    const char* value = std::getenv(COUNTS_SWITCH);
    return value && std::strcmp(value, "1") == 0;
}

int build_package(State* st, PyObject* package)
{
    OwnedRef former = new_former_module(st, package);
    if (!former) return -1;
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_SetItem(modules, st->str_former_module_name, former.get()) < 0) return -1;
    st->former_dict = Py_NewRef(PyModule_GetDict(former.get()));
    if (watch_former_namespace(st) < 0) return -1;
    // As for any module whose body runs: the builtins its code sees.
    PyObject* builtins = PyEval_GetBuiltins();
    if (!builtins || PyDict_SetItemString(st->former_dict, "__builtins__", builtins) < 0) return -1;
    if (populate_former(st, package) < 0) return -1;
    // As the import system does once a submodule is loaded.
    if (setattr(package, st->str_former, former.get()) < 0) return -1;
    // from vantor_lacet.former import LacetConfig, LacetExtension, LacetIngestResult
    for (PyObject* name :
         {st->str_LacetConfig, st->str_LacetExtension, st->str_LacetIngestResult}) {
        OwnedRef value = getattr(former.get(), name);
        if (!value || setattr(package, name, value.get()) < 0) return -1;
    }
    OwnedRef all = OwnedRef::consuming(PyList_New(0));
    if (!all) return -1;
    for (PyObject* name : {st->str_LacetConfig, st->str_LacetExtension, st->str_LacetIngestResult,
                           st->str_build_extension}) {
        if (PyList_Append(all.get(), name) < 0) return -1;
    }
    if (setattr(package, st->str___all__, all.get()) < 0) return -1;
    OwnedRef factory =
        OwnedRef::consuming(PyCFunction_NewEx(&build_extension_def, package, st->str_package_name));
    if (!factory) return -1;
    if (setattr(package, st->str_build_extension, factory.get()) < 0) return -1;
    if (!counts_wanted()) return 0;
    OwnedRef counts =
        OwnedRef::consuming(PyCFunction_NewEx(&cache_counts_def, package, st->str_package_name));
    if (!counts) return -1;
    return PyObject_SetAttrString(package, cache_counts_def.ml_name, counts.get());
}

// A failed import leaves neither the package nor its submodule behind, so
// that a later import runs again from the start.
void forget_failed_import(State* st)
{
    PyObject* error = PyErr_GetRaisedException();
    PyObject* modules = PyImport_GetModuleDict();
    for (PyObject* name : {st->str_former_module_name, st->str_package_name}) {
        if (name && PyDict_DelItem(modules, name) < 0) {
            PyErr_Clear();
        }
    }
    PyErr_SetRaisedException(error);
}

int package_exec(PyObject* package)
{
    auto* st = static_cast<State*>(PyModule_GetState(package));
    if (state_init(st) < 0 || check_instance_layout() < 0 || build_package(st, package) < 0) {
        note_missing_host();
        forget_failed_import(st);
        return -1;
    }
    return 0;
}

int package_traverse(PyObject* package, visitproc visit, void* arg)
{
    auto* st = static_cast<State*>(PyModule_GetState(package));
    return st ? state_traverse(st, visit, arg) : 0;
}

int package_clear(PyObject* package)
{
    auto* st = static_cast<State*>(PyModule_GetState(package));
    if (st) {
        unwatch_former_namespace(st);
        state_clear(st);
    }
    return 0;
}

void package_free(void* package) { package_clear(static_cast<PyObject*>(package)); }

PyModuleDef_Slot package_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(package_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    LACET_MOD_GIL_SLOT
    {0, nullptr},
};

}  // namespace

PyModuleDef package_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vantor_lacet",
    .m_doc = nullptr,
    .m_size = sizeof(State),
    .m_methods = nullptr,
    .m_slots = package_slots,
    .m_traverse = package_traverse,
    .m_clear = package_clear,
    .m_free = package_free,
};

}  // namespace lacet

PyMODINIT_FUNC PyInit_vantor_lacet(void) { return PyModuleDef_Init(&lacet::package_def); }
