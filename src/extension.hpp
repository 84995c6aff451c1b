// LacetExtension: the object through which the host uses the package.
// Its state lives in the ordinary instance dictionary (_service, _config,
// _last_id, _candidate_ids, _node_lookup), so the native code reads and
// writes it through attribute access like any method of a Python class.
#pragma once

#include "module_state.hpp"

namespace lacet {

// Creates the class and binds its members in their order of definition.
PyTypeObject* create_extension_type(State* st, PyObject* module);

// The behaviour behind each member. `self` is an instance of the class or
// of a subclass; every function returns a new reference, or nullptr with an
// exception set (int results: 1/0, or -1 with an exception set).
int extension_init(State* st, PyObject* self, PyObject* service, PyObject* graph,
                   PyObject* config);
PyObject* on_forget(State* st, PyObject* self, PyObject* node_ids);
PyObject* on_ingest(State* st, PyObject* self, PyObject* graph, PyObject* node);
PyObject* on_ingest_batch(State* st, PyObject* self, PyObject* graph, PyObject* nodes);
PyObject* retrieval_context(State* st, PyObject* self, PyObject* max_results);
int are_connected(State* st, PyObject* graph, PyObject* a_id, PyObject* b_id);
int enforce_cap(State* st, PyObject* self, PyObject* graph, PyObject* a_id, PyObject* b_id,
                PyObject* similarity, PyObject* result);

// A new LacetIngestResult, made by calling the class currently bound in
// the module namespace with no arguments.
PyObject* new_ingest_result(State* st);

}  // namespace lacet
