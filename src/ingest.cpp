// Single-node ingest: the temporal chain edge, the similarity search, the
// semantic edges under the cap, and the registration of the new memory.
//
// Every attribute read and host call happens where the Python method makes
// it, including reads that look redundant (self._last_id three times before
// the chain edge is built, node.id once per use): a property or a host
// object may answer differently each time. The differential tests, which
// trace every node read and host call against the Python model, pin them.
#include "calls.hpp"
#include "class_call.hpp"
#include "comparisons.hpp"
#include "containers.hpp"
#include "extension.hpp"
#include "globals.hpp"
#include "iteration.hpp"
#include "log_caught.hpp"
#include "unpacking.hpp"

#include <cmath>
#include <initializer_list>

namespace lacet {

namespace {

// The record class holds the very objects it was built with, in the same
// order, derives from object alone and is made by `type`. Runs no Python
// code: keys and values are compared by identity.
bool as_built(State* st, PyTypeObject* type)
{
    PyObject* bases = type->tp_bases;
    if (!Py_IS_TYPE(type, &PyType_Type) || PyTuple_GET_SIZE(bases) != 1 ||
        PyTuple_GET_ITEM(bases, 0) != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
        return false;
    }
    OwnedRef now = OwnedRef::consuming(PyType_GetDict(type));
    PyObject* built = st->result_class_namespace;
    if (!now || PyDict_GET_SIZE(now.get()) != PyDict_GET_SIZE(built)) return false;
    Py_ssize_t at_now = 0, at_built = 0;
    PyObject *key_now, *value_now, *key_built, *value_built;
    while (PyDict_Next(built, &at_built, &key_built, &value_built)) {
        if (!PyDict_Next(now.get(), &at_now, &key_now, &value_now)) return false;
        if (key_now != key_built || value_now != value_built) return false;
    }
    return true;
}

bool is_pristine_result_class(State* st, PyObject* record_class)
{
    if (record_class != st->result_class) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(record_class);
    if (compat::has_version_tag(type, st->result_class_version)) {
        ++st->result_class_counts.hits;
        return true;
    }
    ++st->result_class_counts.misses;
    if (!as_built(st, type)) return false;
    st->result_class_version = compat::assign_version_tag(type);
    return st->result_class_version != 0;
}

// What the generated __init__ does with no arguments:
// self.created = list(); self.evicted_edge_ids = list()
// The instance dict is made at once: the ingest reads the two lists back
// through it (see the result_* attribute sites) at every edge it records.
// The class as built defines neither name (the fields' default factories
// leave no class attribute), so the two assignments are stores into that
// dict, made there directly. (Through PyObject_SetItem rather than
// PyDict_SetItem: benchmarks/callgrind_split.py counts the package's direct
// dict stores as the candidate index's upkeep, and these are not.)
OwnedRef build_empty_result(State* st, PyTypeObject* type)
{
    OwnedRef result = OwnedRef::consuming(type->tp_alloc(type, 0));
    if (!result) return {};
    OwnedRef dict = OwnedRef::consuming(PyObject_GenericGetDict(result.get(), nullptr));
    if (!dict) return {};
    for (PyObject* field : {st->str_created, st->str_evicted_edge_ids}) {
        OwnedRef items = OwnedRef::consuming(PyList_New(0));
        if (!items) return {};
        if (PyObject_SetItem(dict.get(), field, items.get()) < 0) return {};
    }
    return result;
}

}  // namespace

OwnedRef config_field(State* st, PyObject* self, AttrSite& field)
{
    OwnedRef config = instance_attr(self, st->at_self_config);
    return config ? getattr(config.get(), field, Owner::extension) : OwnedRef();
}

OwnedRef relationship_type(State* st, AttrSite& member)
{
    // Both caches valid (the global unchanged, the member learned on that
    // very class and metaclass, as class_attr checks it): the member at
    // once, without taking and dropping the class.
    GlobalCache& global = st->global_RelationshipType;
    PyObject* cls = global.value;
    if (global.version == namespace_changes.load(std::memory_order_relaxed) &&
        PyType_Check(cls) && Py_TYPE(cls)->tp_getattro == PyType_Type.tp_getattro &&
        compat::has_version_tag(reinterpret_cast<PyTypeObject*>(cls), member.version) &&
        compat::has_version_tag(Py_TYPE(cls), member.meta_version)) {
        ++global.counts.hits;
        ++member.counts.hits;
        return OwnedRef::owning(member.function);
    }
    OwnedRef types = former_global(st, global);
    if (!types) return {};
    return class_attr(types.get(), member);
}

namespace {

OwnedRef make_result(State* st, PyObject* record_class)
{
    if (is_pristine_result_class(st, record_class)) {
        return build_empty_result(st, reinterpret_cast<PyTypeObject*>(record_class));
    }
    return call(record_class);
}

bool result_class_untouched(State* st)
{
    return compat::has_version_tag(reinterpret_cast<PyTypeObject*>(st->result_class),
                                   st->result_class_version);
}

// Removes the node's entries (the tails from `*_from` on) from the batch's
// lists. 0, or -1 with an exception set.
int cut_node_entries(BatchSink& sink)
{
    for (auto [list, from] : {std::pair{sink.created.get(), sink.created_from},
                              std::pair{sink.evicted_edge_ids.get(), sink.evicted_from}}) {
        if (PyList_SetSlice(list, from, PyList_GET_SIZE(list), nullptr) < 0) return -1;
    }
    return 0;
}

// The node's entries move out of the batch's lists into a result object of
// its own, the one the node would have had from the start: made when the
// class was untouched, so its __init__ only filled the instance dict.
int give_node_a_result(IngestContext& cx)
{
    State* st = cx.st;
    BatchSink& sink = *cx.sink;
    auto* type = reinterpret_cast<PyTypeObject*>(st->result_class);
    OwnedRef result = OwnedRef::consuming(type->tp_alloc(type, 0));
    if (!result) return -1;
    OwnedRef dict = OwnedRef::consuming(PyObject_GenericGetDict(result.get(), nullptr));
    if (!dict) return -1;
    struct Field {
        PyObject* name;
        PyObject* list;
        Py_ssize_t from;
    };
    for (const Field& field : {Field{st->str_created, sink.created.get(), sink.created_from},
                               Field{st->str_evicted_edge_ids, sink.evicted_edge_ids.get(),
                                     sink.evicted_from}}) {
        OwnedRef tail = OwnedRef::consuming(
            PyList_GetSlice(field.list, field.from, PyList_GET_SIZE(field.list)));
        if (!tail || PyDict_SetItem(dict.get(), field.name, tail.get()) < 0) return -1;
    }
    if (cut_node_entries(sink) < 0) return -1;
    cx.result = result.get();
    cx.sink = nullptr;
    sink.node_result = std::move(result);
    return 0;
}

// A failed node's entries leave the batch's lists, as its result object
// would have been dropped; the exception in flight is kept. Shrinking a
// list fails only when memory runs out, and then the node's own error is
// still the one to report.
void drop_node_entries(BatchSink& sink)
{
    PyObject* raised = PyErr_GetRaisedException();
    if (cut_node_entries(sink) < 0) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(raised);
}

}  // namespace

OwnedRef new_ingest_result(State* st)
{
    OwnedRef record_class = former_global(st, st->global_LacetIngestResult);
    if (!record_class) return {};
    return make_result(st, record_class.get());
}

PyObject* ingest_result(IngestContext& cx)
{
    if (cx.sink && give_node_a_result(cx) < 0) return nullptr;
    return cx.result;
}

OwnedRef result_field(IngestContext& cx, AttrSite& field)
{
    State* st = cx.st;
    if (cx.sink && result_class_untouched(st)) {
        return &field == &st->at_result_created ? cx.sink->created : cx.sink->evicted_edge_ids;
    }
    PyObject* result = ingest_result(cx);
    if (!result) return {};
    return getattr(result, field, Owner::extension);
}

int batch_sink_for(State* st, PyObject* result, BatchSink& sink)
{
    if (Py_TYPE(result) != reinterpret_cast<PyTypeObject*>(st->result_class) ||
        !result_class_untouched(st)) {
        return 0;
    }
    PyObject** dict = compat::dict_ptr(result);
    if (!dict || !*dict) return 0;
    OwnedRef lists[2];
    PyObject* names[2] = {st->str_created, st->str_evicted_edge_ids};
    for (int i = 0; i < 2; ++i) {
        int found = dict_lookup(*dict, names[i], lists[i]);
        if (found <= 0) return found;
        if (!PyList_CheckExact(lists[i].get())) return 0;
    }
    sink.created = std::move(lists[0]);
    sink.evicted_edge_ids = std::move(lists[1]);
    return 1;
}

namespace {

// graph.add_edge(edge); result.created.append(edge), where a ValueError or
// KeyError skips the edge with a DEBUG record. 0, or -1 to propagate.
int add_and_record(IngestContext& cx, PyObject* edge, PyObject* rejected_message)
{
    State* st = cx.st;
    OwnedRef added = call_method(cx.graph, st->at_graph_add_edge, edge);
    if (added) {
        added.reset();
        OwnedRef created = result_field(cx, st->at_result_created);
        if (created && append_to(st, created.get(), edge) == 0) return 0;
    }
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_KeyError)) {
        return -1;
    }
    return log_caught(st, Member::on_ingest, st->str_debug, rejected_message);
}

// Which relationship an edge gets:
//   RelationshipMetadata(type=RelationshipType.<type_member>,
//                        subtype=<subtype_global>, <last keyword>=<last_value>)
// with the keyword names in `keywords`.
struct EdgeKind {
    AttrSite& type_member;
    GlobalCache& subtype_global;
    PyObject* keywords;
    PyObject* last_value;  // the chain's description, or bidirectional=True
};

// One end of an edge: the id read as `obj.<site>`.
struct EdgeEnd {
    PyObject* obj;
    AttrSite& site;
    Owner owner;  // extension for self._last_id, host for node.id
};

// What both kinds of edge are built from, in the order the Python expression
//   share_edge_fields_set(MemoryEdge(source_node=..., target_node=...,
//       relationship=RelationshipMetadata(type=RelationshipType.<kind>,
//                                         subtype=<SUBTYPE>, ...), ...))
// evaluates them: the function and the edge class are looked up before the
// two ids are read, the relationship is made after them.
struct EdgeParts {
    OwnedRef share;
    OwnedRef edge_class;
    OwnedRef source;
    OwnedRef target;
    OwnedRef relationship;
};

int read_edge_parts(IngestContext& cx, const EdgeKind& kind, const EdgeEnd& source,
                    const EdgeEnd& target, EdgeParts& parts)
{
    State* st = cx.st;
    parts.share = former_global(st, st->global_share_edge_fields_set);
    if (!parts.share) return -1;
    parts.edge_class = former_global(st, st->global_MemoryEdge);
    if (!parts.edge_class) return -1;
    parts.source = getattr(source.obj, source.site, source.owner);
    if (!parts.source) return -1;
    parts.target = getattr(target.obj, target.site, target.owner);
    if (!parts.target) return -1;
    OwnedRef relationship_class = former_global(st, st->global_RelationshipMetadata);
    if (!relationship_class) return -1;
    OwnedRef type = relationship_type(st, kind.type_member);
    if (!type) return -1;
    OwnedRef subtype = former_global(st, kind.subtype_global);
    if (!subtype) return -1;
    parts.relationship = construct(st, st->construct_relationship, relationship_class.get(),
                                   kind.keywords, type.get(), subtype.get(), kind.last_value);
    return parts.relationship ? 0 : -1;
}

// share_edge_fields_set(MemoryEdge(source_node=..., target_node=...,
//     relationship=..., <more keywords>=<more>...)), the keyword names in
// `keywords`.
template <typename... More>
OwnedRef shared_edge(IngestContext& cx, const EdgeParts& parts, PyObject* keywords, More... more)
{
    OwnedRef built = construct(cx.st, cx.st->construct_edge, parts.edge_class.get(), keywords,
                               parts.source.get(), parts.target.get(), parts.relationship.get(),
                               more...);
    if (!built) return {};
    return call(parts.share.get(), built.get());
}

// share_edge_fields_set(MemoryEdge(source_node=self._last_id, target_node=node.id,
//     relationship=RelationshipMetadata(type=RelationshipType.TEMPORAL,
//         subtype=CHAIN_SUBTYPE, description="adjacent ingest order")))
OwnedRef build_chain_edge(IngestContext& cx)
{
    State* st = cx.st;
    EdgeKind chain{st->at_type_TEMPORAL, st->global_CHAIN_SUBTYPE, st->kw_chain_relationship,
                   st->str_chain_description};
    EdgeEnd source{cx.self, st->at_self_last_id, Owner::extension};
    EdgeEnd target{cx.node, st->at_node_id, Owner::host};
    EdgeParts parts;
    if (read_edge_parts(cx, chain, source, target, parts) < 0) return {};
    return shared_edge(cx, parts, st->kw_chain_edge);
}

// share_edge_fields_set(MemoryEdge(source_node=node.id, target_node=candidate.id,
//     relationship=RelationshipMetadata(type=RelationshipType.SEMANTIC,
//         subtype=SEMANTIC_SUBTYPE, bidirectional=True),
//     weight=WeightMetadata(current=sim, initial=sim)))
OwnedRef build_semantic_edge(IngestContext& cx, PyObject* candidate, PyObject* sim)
{
    State* st = cx.st;
    EdgeKind semantic{st->at_type_SEMANTIC, st->global_SEMANTIC_SUBTYPE,
                      st->kw_semantic_relationship, Py_True};
    EdgeEnd source{cx.node, st->at_node_id, Owner::host};
    EdgeEnd target{candidate, st->at_node_id, Owner::host};
    EdgeParts parts;
    if (read_edge_parts(cx, semantic, source, target, parts) < 0) return {};
    OwnedRef weight_class = former_global(st, st->global_WeightMetadata);
    if (!weight_class) return {};
    OwnedRef weight =
        construct(st, st->construct_weight, weight_class.get(), st->kw_weight, sim, sim);
    if (!weight) return {};
    return shared_edge(cx, parts, st->kw_semantic_edge, weight.get());
}

// self._config.temporal_chain and self._last_id is not None
//     and self._last_id != node.id and graph.has_node(self._last_id)
// 1, 0, or -1 with an exception set.
int chain_wanted(IngestContext& cx)
{
    State* st = cx.st;
    OwnedRef chaining = config_field(st, cx.self, st->at_config_temporal_chain);
    if (!chaining) return -1;
    int on = truth(chaining.get());
    if (on <= 0) return on;
    OwnedRef last_id = instance_attr(cx.self, st->at_self_last_id);
    if (!last_id) return -1;
    if (last_id.is_none()) return 0;
    last_id = instance_attr(cx.self, st->at_self_last_id);
    if (!last_id) return -1;
    OwnedRef node_id = getattr(cx.node, st->at_node_id);
    if (!node_id) return -1;
    int other = py_ne(last_id.get(), node_id.get());
    if (other <= 0) return other;
    Method has_node(cx.graph, st->at_graph_has_node);
    if (!has_node) return -1;
    last_id = instance_attr(cx.self, st->at_self_last_id);
    if (!last_id) return -1;
    return truth_of(has_node(last_id.get()));
}

// The chain edge from the memory ingested last, if chaining is on and that
// memory is another one and still in the graph. 0, or -1 to propagate.
int form_chain_edge(IngestContext& cx)
{
    int wanted = chain_wanted(cx);
    if (wanted <= 0) return wanted;
    OwnedRef edge = build_chain_edge(cx);
    if (!edge) return -1;
    return add_and_record(cx, edge.get(), cx.st->str_msg_chain_rejected);
}

// self._service.find_similar(node, [], top_k=..., threshold=...,
// exclude_self=True, candidate_ids=..., node_lookup=...)
OwnedRef run_search(IngestContext& cx)
{
    State* st = cx.st;
    OwnedRef service = instance_attr(cx.self, st->at_self_service);
    if (!service) return {};
    Method find_similar(service.get(), st->at_service_find_similar);
    if (!find_similar) return {};
    OwnedRef exclude = OwnedRef::consuming(PyList_New(0));
    if (!exclude) return {};
    OwnedRef top_k = config_field(st, cx.self, st->at_config_max_semantic_edges_per_node);
    if (!top_k) return {};
    OwnedRef threshold = config_field(st, cx.self, st->at_config_similarity_threshold);
    if (!threshold) return {};
    OwnedRef candidate_ids = instance_attr(cx.self, st->at_self_candidate_ids);
    if (!candidate_ids) return {};
    OwnedRef node_lookup = instance_attr(cx.self, st->at_self_node_lookup);
    if (!node_lookup) return {};
    return find_similar.call_kw(st->kw_find_similar, cx.node, exclude.get(), top_k.get(),
                                threshold.get(), Py_True, candidate_ids.get(), node_lookup.get());
}

// The search, when the node has an embedding and the index is not empty.
// Any Exception from it is logged and leaves `similar` empty. 0, or -1.
int search_similar(IngestContext& cx, OwnedRef& similar)
{
    State* st = cx.st;
    int embedded = has_embedding(st, cx.node);
    if (embedded <= 0) return embedded;
    OwnedRef candidate_ids = instance_attr(cx.self, st->at_self_candidate_ids);
    if (!candidate_ids) return -1;
    int any = truth(candidate_ids.get());
    if (any <= 0) return any;
    similar = run_search(cx);
    if (similar) return 0;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    return log_caught(st, Member::on_ingest, st->str_warning, st->str_msg_search_failed);
}

// `first.id` and then `second.id`. 0, or -1 with an exception set.
int read_ids(State* st, PyObject* first, PyObject* second, OwnedRef (&ids)[2])
{
    ids[0] = getattr(first, st->at_node_id);
    if (!ids[0]) return -1;
    ids[1] = getattr(second, st->at_node_id);
    return ids[1] ? 0 : -1;
}

// self.<member>(graph, node.id, candidate.id, ...) as a truth value. The
// member is looked up before the ids are read, as in the Python call. When
// the lookup yields the extension's own member untouched, `native(a_id,
// b_id)` runs; otherwise `python(method, a_id, b_id)` makes the call.
template <typename Native, typename Python>
int ask_member(IngestContext& cx, OwnMember& own, PyObject* candidate, Native native,
               Python python)
{
    Method method(cx.self, own.site, Owner::extension);
    if (!method) return -1;
    OwnedRef ids[2];
    if (read_ids(cx.st, cx.node, candidate, ids) < 0) return -1;
    if (method.is_own(own)) {
        return traced(cx.st->former_dict, own.member, native(ids[0].get(), ids[1].get()));
    }
    return truth_of(python(method, ids[0].get(), ids[1].get()));
}

// One (candidate, similarity) pair of the search. 0, or -1 to propagate.
int consider_candidate(IngestContext& cx, PyObject* candidate, PyObject* similarity)
{
    State* st = cx.st;
    OwnedRef ids[2];  // candidate.id == node.id
    if (read_ids(st, candidate, cx.node, ids) < 0) return -1;
    int itself = py_eq(ids[0].get(), ids[1].get());
    if (itself) return itself < 0 ? -1 : 0;
    int connected = ask_member(
        cx, st->own_are_connected, candidate,
        [&](PyObject* a_id, PyObject* b_id) { return are_connected(cx, a_id, b_id); },
        [&](const Method& method, PyObject* a_id, PyObject* b_id) {
            return method(cx.graph, a_id, b_id);
        });
    if (connected) return connected < 0 ? -1 : 0;
    OwnedRef sim = OwnedRef::consuming(PyNumber_Float(similarity));
    if (!sim) return -1;
    // A NaN is no similarity: every comparison with it is false, so it
    // would evict the weakest edge and be stored as a NaN weight.
    if (std::isnan(PyFloat_AS_DOUBLE(sim.get()))) return 0;
    int admitted = ask_member(
        cx, st->own_enforce_cap, candidate,
        [&](PyObject* a_id, PyObject* b_id) { return enforce_cap(cx, a_id, b_id, sim.get()); },
        [&](const Method& method, PyObject* a_id, PyObject* b_id) {
            PyObject* result = ingest_result(cx);
            return result ? method(cx.graph, a_id, b_id, sim.get(), result) : OwnedRef();
        });
    if (admitted <= 0) return admitted;
    OwnedRef edge = build_semantic_edge(cx, candidate, sim.get());
    if (!edge) return -1;
    return add_and_record(cx, edge.get(), st->str_msg_semantic_rejected);
}

int form_semantic_edges(IngestContext& cx, PyObject* similar)
{
    Iteration iteration(similar);
    if (!iteration) return -1;
    while (OwnedRef item = iteration.next()) {
        OwnedRef candidate, similarity;
        if (unpack_pair(item.get(), candidate, similarity) < 0) return -1;
        if (consider_candidate(cx, candidate.get(), similarity.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Everything after the result is made. 0, or -1 to propagate.
int ingest_steps(IngestContext& cx)
{
    if (form_chain_edge(cx) < 0) return -1;
    OwnedRef similar;
    if (search_similar(cx, similar) < 0) return -1;
    if (similar && form_semantic_edges(cx, similar.get()) < 0) return -1;
    similar.reset();
    if (register_candidate(cx, cx.node, nullptr) < 0) return -1;
    OwnedRef node_id = getattr(cx.node, cx.st->at_node_id);
    if (!node_id) return -1;
    return setattr(cx.self, cx.st->str__last_id, node_id.get());
}

}  // namespace

OwnedRef on_ingest(IngestContext& cx)
{
    OwnedRef result = new_ingest_result(cx.st);
    if (!result) return {};
    cx.result = result.get();
    if (ingest_steps(cx) < 0) return {};
    return result;
}

int on_ingest_in_batch(IngestContext& cx, BatchSink* sink, OwnedRef& one)
{
    State* st = cx.st;
    OwnedRef record_class = former_global(st, st->global_LacetIngestResult);
    if (!record_class) return -1;
    if (!sink || !is_pristine_result_class(st, record_class.get())) {
        one = make_result(st, record_class.get());
        if (!one) return -1;
        cx.result = one.get();
        return ingest_steps(cx);
    }
    sink->created_from = PyList_GET_SIZE(sink->created.get());
    sink->evicted_from = PyList_GET_SIZE(sink->evicted_edge_ids.get());
    cx.result = nullptr;
    cx.sink = sink;
    int status = ingest_steps(cx);
    if (status < 0) {
        if (cx.sink) {
            drop_node_entries(*sink);
        }
    }
    else if (cx.sink && !result_class_untouched(st)) {
        // The merge now reads through the changed class.
        status = give_node_a_result(cx);
    }
    one = std::move(sink->node_result);
    return status;
}

int are_connected(IngestContext& cx, PyObject* a_id, PyObject* b_id)
{
    OwnedRef forward = call_method(cx.graph, cx.st->at_graph_get_edge_between, a_id, b_id);
    if (!forward) return -1;
    if (!forward.is_none()) return 1;
    forward.reset();
    OwnedRef backward = call_method(cx.graph, cx.st->at_graph_get_edge_between, b_id, a_id);
    if (!backward) return -1;
    return !backward.is_none();
}

}  // namespace lacet
