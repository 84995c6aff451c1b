// LacetExtension: the object through which the host uses the package.
// Its state lives in the ordinary instance dictionary (_service, _config,
// _last_id, _candidate_ids, _node_lookup), so the native code reads and
// writes it through attribute access like any method of a Python class.
#pragma once

#include "module_state.hpp"

namespace lacet {

// What one call of the extension works on, passed by reference to every
// step. All pointers are borrowed: the extension, graph and node from the
// arguments of the running call, the result from the OwnedRef that the
// ingest holds while it fills it. Fields a call does not have stay nullptr
// (no node in a batch as a whole, no result in construction).
struct IngestContext {
    State* st;
    PyObject* self;    // the extension instance
    PyObject* graph;   // the host graph
    PyObject* node;    // the node being ingested
    PyObject* result;  // the LacetIngestResult being filled
};

// Creates the class and binds its members in their order of definition.
PyTypeObject* create_extension_type(State* st, PyObject* module);

// The behaviour behind each member. `self` is an instance of the class or of
// a subclass. Object results are new references, empty with an exception
// set on failure; int results are 1/0, or -1 with an exception set.
int extension_init(IngestContext& cx, PyObject* service, PyObject* config);
OwnedRef on_forget(State* st, PyObject* self, PyObject* node_ids);
OwnedRef on_ingest(IngestContext& cx);  // fills in cx.result
OwnedRef on_ingest_batch(IngestContext& cx, PyObject* nodes);
OwnedRef retrieval_context(State* st, PyObject* self, PyObject* max_results);
int are_connected(IngestContext& cx, PyObject* a_id, PyObject* b_id);
int enforce_cap(IngestContext& cx, PyObject* a_id, PyObject* b_id, PyObject* similarity);

// `node.content_embedding is not None`: 1, 0, or -1 with an exception set.
int has_embedding(State* st, PyObject* node);

// self._config.<field>, read afresh at each use. The configuration record
// is read like the extension's own state (its instance dict directly).
OwnedRef config_field(State* st, PyObject* self, AttrSite& field);

// A new LacetIngestResult, as calling the class currently bound in the
// module namespace with no arguments makes it.
OwnedRef new_ingest_result(State* st);

// The candidate index that a registration writes to. The constructor hands
// in the set and dict it has just made (its Python twin keeps them in
// locals); everywhere else they are read from the instance at the moment of
// use, so that `index` is nullptr.
struct CandidateIndex {
    PyObject* candidate_ids;
    PyObject* node_lookup;
};

// if node.content_embedding is not None:
//     <candidate_ids>.add(node.id); <node_lookup>[node.id] = node
// 0, or -1 with an exception set.
int register_candidate(IngestContext& cx, PyObject* node, const CandidateIndex* index);

}  // namespace lacet
