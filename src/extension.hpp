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
struct BatchSink;

struct IngestContext {
    State* st;
    PyObject* self;    // the extension instance
    PyObject* graph;   // the host graph
    PyObject* node;    // the node being ingested
    PyObject* result;  // the LacetIngestResult being filled
    // Set instead of `result` while a batch lets the node record straight
    // into the batch's own lists (see BatchSink).
    BatchSink* sink = nullptr;
};

// The two lists of a batch's result, while it is the package's untouched
// record. A node that a batch ingests through the package's own on_ingest,
// with the untouched record class, records its edges and evicted ids
// straight at their ends instead of into a result object of its own that
// would only be merged into them: nobody else can see that object, and
// merging its lists would append the same items in the same order. The
// node's entries are the tails from `*_from` on; they are dropped when its
// ingest fails. The moment anything could see a difference (the record
// class is changed, or a replaced _enforce_cap is handed the result), the
// tails move into a real result object, `node_result`, and the node goes
// on with that.
struct BatchSink {
    OwnedRef created;           // the batch result's `created`
    OwnedRef evicted_edge_ids;  // and its `evicted_edge_ids`
    Py_ssize_t created_from = 0;
    Py_ssize_t evicted_from = 0;
    OwnedRef node_result;
};

// Creates the class and binds its members in their order of definition.
PyTypeObject* create_extension_type(State* st, PyObject* module);

// The behaviour behind each member. `self` is an instance of the class or of
// a subclass. Object results are new references, empty with an exception
// set on failure; int results are 1/0, or -1 with an exception set.
int extension_init(IngestContext& cx, PyObject* service, PyObject* config);
OwnedRef on_forget(State* st, PyObject* self, PyObject* node_ids);
OwnedRef on_ingest(IngestContext& cx);  // fills in cx.result
// One node of a batch, as `one = self.on_ingest(graph, node)` with the
// package's own method. With a `sink` the node may record straight into the
// batch's lists, and `one` stays empty; otherwise `one` is the node's result,
// to be merged. 0, or -1 with an exception set (the node's entries are then
// gone from the sink's lists).
int on_ingest_in_batch(IngestContext& cx, BatchSink* sink, OwnedRef& one);
// The batch result's lists, when `result` is the untouched record whose
// dict holds two lists. 1 (filled in), 0 (not so), or -1.
int batch_sink_for(State* st, PyObject* result, BatchSink& sink);
OwnedRef on_ingest_batch(IngestContext& cx, PyObject* nodes);
OwnedRef retrieval_context(State* st, PyObject* self, PyObject* max_results);
int are_connected(IngestContext& cx, PyObject* a_id, PyObject* b_id);
int enforce_cap(IngestContext& cx, PyObject* a_id, PyObject* b_id, PyObject* similarity);

// `node.content_embedding is not None`: 1, 0, or -1 with an exception set.
int has_embedding(State* st, PyObject* node);

// self._config.<field>, read afresh at each use. The configuration record
// is read like the extension's own state (its instance dict directly).
OwnedRef config_field(State* st, PyObject* self, AttrSite& field);

// RelationshipType.<member> (`member`: one of the at_type_* sites), with
// the class looked up in the module namespace at each use.
OwnedRef relationship_type(State* st, AttrSite& member);

// A new LacetIngestResult, as calling the class currently bound in the
// module namespace with no arguments makes it.
OwnedRef new_ingest_result(State* st);

// The result being filled, as an object: in a batch that records straight
// into its own lists, the node now gets a result object of its own.
// Borrowed; nullptr with an exception set on failure.
PyObject* ingest_result(IngestContext& cx);

// result.<field> of the result being filled (`field`: one of the
// at_result_* sites). New reference, or empty with an exception set.
OwnedRef result_field(IngestContext& cx, AttrSite& field);

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
