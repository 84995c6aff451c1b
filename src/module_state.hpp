// Per-module state of vantor_lacet. One instance per imported module
// object (and so per interpreter); nothing lives in static PyObject*.
#pragma once

#include "names.hpp"
#include "ref.hpp"

namespace lacet {

struct State {
#define LACET_DECLARE_NAME(name) PyObject* name;
#define LACET_DECLARE_TEXT(name, text) PyObject* name;
    LACET_IDENTIFIERS(LACET_DECLARE_NAME)
    LACET_TEXTS(LACET_DECLARE_TEXT)
#undef LACET_DECLARE_NAME
#undef LACET_DECLARE_TEXT

    // Prebuilt keyword-name tuples, one per call shape.
    PyObject* kw_chain_relationship;     // type, subtype, description
    PyObject* kw_semantic_relationship;  // type, subtype, bidirectional
    PyObject* kw_weight;                 // current, initial
    PyObject* kw_chain_edge;             // source_node, target_node, relationship
    PyObject* kw_semantic_edge;          // ... and weight
    PyObject* kw_find_similar;           // top_k ... node_lookup
    PyObject* kw_exc_info;               // exc_info
    PyObject* kw_retrieval_context;      // the eight RetrievalContext keywords
    PyObject* kw_build_extension;        // service, graph, config
    PyObject* kw_default_factory;        // default_factory
    PyObject* fromlist_retriever;        // the three names taken from the retriever module

    // The namespace of vantor_lacet.former: module globals are looked up
    // here at each use.
    PyObject* former_dict;
    PyTypeObject* extension_type;

    // The extension's own members as stored on the class. When an instance
    // lookup finds one of these, the native code is called directly.
    PyObject* own_on_ingest;
    PyObject* own_enforce_cap;
    PyObject* own_are_connected;  // the function inside the staticmethod

    // LacetIngestResult as created at import, and the version tag it had
    // then. While the module global still names it and the tag is unchanged
    // (nobody has modified the class), a result is built without running
    // the generated __init__, to the same effect.
    PyObject* result_class;
    unsigned int result_class_version;
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
