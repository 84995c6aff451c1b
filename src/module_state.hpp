// Per-module state of vantor_lacet. One instance per imported module
// object (and so per interpreter); nothing lives in static PyObject*.
#pragma once

#include "error_context.hpp"
#include "attributes.hpp"
#include "names.hpp"
#include "ref.hpp"

namespace lacet {

// One of the extension's members as the class stores it. While an instance
// lookup of `name` still yields `found` in the same way (nobody has
// overridden or replaced it), the native body is entered directly instead
// of through a Python call.
struct OwnMember {
    AttrSite site;     // the lookup through the instance
    PyObject* found;   // what the lookup yields: the method descriptor, or
                       // the function inside the static method
    bool called_with_self;  // a plain method rather than a static one
    Member member;     // how a traceback names it
};

// What one call site of a host class has confirmed about it (class_call.hpp).
struct ConstructorCache {
    unsigned int version;  // the class's version tag; 0: nothing confirmed
    PyObject* init;        // its __init__, a Python function, borrowed from
                           // the class's MRO (alive while the tag holds);
                           // nullptr: the class takes the generic call
    CacheCounts counts;
};

// The last value found under `name` in the former module's namespace, valid
// while no watched namespace has changed since (globals.cpp). A name found
// only among the builtins is not kept.
struct GlobalCache {
    PyObject* name;     // borrowed from the interned names
    uint64_t version;   // the count of namespace changes it was found under;
                        // 0: nothing kept
    PyObject* value;    // borrowed from the namespace while the count holds
    CacheCounts counts;
};

// The state fields that can take part in a reference cycle, which the
// module's traverse visits and its clear drops: the former module's
// namespace, the classes and the members found on them (the namespace holds
// the classes, and each class refers back to this module). Interned strings
// and tuples of them cannot refer to anything; the caches only borrow. A new
// field that holds a class, a function or a namespace belongs here.
#define LACET_CYCLE_FIELDS(X)                                                 \
    X(former_dict) X(extension_type) X(own_on_ingest.found)                   \
    X(own_enforce_cap.found) X(own_are_connected.found) X(result_class)      \
    X(result_class_namespace)

struct State {
#define LACET_DECLARE_NAME(name) PyObject* str_##name;
#define LACET_DECLARE_TEXT(name, text) PyObject* str_##name;
#define LACET_DECLARE_TUPLE(name, ...) PyObject* name;
    LACET_IDENTIFIERS(LACET_DECLARE_NAME)
    LACET_TEXTS(LACET_DECLARE_TEXT)
    LACET_NAME_TUPLES(LACET_DECLARE_TUPLE)
#undef LACET_DECLARE_NAME
#undef LACET_DECLARE_TEXT
#undef LACET_DECLARE_TUPLE

    // The namespace of vantor_lacet.former: module globals are looked up
    // here at each use.
    PyObject* former_dict;
    // The dict watcher that tells the globals cache of changes to
    // former_dict (-1: none, and nothing is cached).
    int former_watcher;
    PyTypeObject* extension_type;

    // The members that an ingest calls through the instance.
    OwnMember own_on_ingest;
    OwnMember own_enforce_cap;
    OwnMember own_are_connected;

    // LacetIngestResult as created at import, and the version tag it had
    // then. While the module global still names it and the tag is unchanged
    // (nobody has modified the class), a result is built without running
    // the generated __init__, to the same effect.
    PyObject* result_class;
    unsigned int result_class_version;
    CacheCounts result_class_counts;
    // A copy of its namespace as built: a class given a new tag by a change
    // that was then undone (patched and restored) is known as untouched
    // again by comparing the two.
    PyObject* result_class_namespace;

    // ---- caches; each entry is checked against what invalidates it -----

    // The tp_init of a class whose __init__ is a Python function (taken
    // from LacetConfig, whose dataclass __init__ is one), and the empty
    // tuple that object.__new__ gets in place of the positional arguments.
    initproc python_init_slot;
    PyObject* empty_tuple;
#define LACET_DECLARE_SITE(site, name) AttrSite at_##site;
    LACET_ATTRIBUTE_SITES(LACET_DECLARE_SITE)
#undef LACET_DECLARE_SITE
#define LACET_DECLARE_GLOBAL(name) GlobalCache global_##name;
    LACET_CACHED_GLOBALS(LACET_DECLARE_GLOBAL)
#undef LACET_DECLARE_GLOBAL
    // Per call site of a host class (see class_call.hpp).
    ConstructorCache construct_relationship;
    ConstructorCache construct_weight;
    ConstructorCache construct_edge;
    ConstructorCache construct_retrieval_context;
};

extern PyModuleDef package_def;

int state_init(State* st);
int state_traverse(State* st, visitproc visit, void* arg);
void state_clear(State* st);

// State of the module that defined `cls` (the extension type or a subclass).
// Sets RuntimeError and returns nullptr once the module has been torn down.
State* state_of_type(PyTypeObject* cls);
State* state_of_module(PyObject* module);

}  // namespace lacet
