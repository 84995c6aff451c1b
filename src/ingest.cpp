// Single-node ingest: the temporal chain edge, the similarity search, the
// semantic edges under the cap, and the registration of the new memory.
#include "error_context.hpp"
#include "extension.hpp"
#include "log_caught.hpp"
#include "pyops.hpp"
#include "registration.hpp"

#include <cmath>
#include <initializer_list>

namespace lacet {

namespace {

bool is_pristine_result_class(State* st, PyObject* record_class)
{
    if (record_class != st->result_class) {
        return false;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(record_class);
    return compat::has_version_tag(type, st->result_class_version);
}

// What the generated __init__ does with no arguments:
// self.created = list(); self.evicted_edge_ids = list()
OwnedRef build_empty_result(State* st, PyTypeObject* type)
{
    OwnedRef result = OwnedRef::consuming(type->tp_alloc(type, 0));
    for (PyObject* field : {st->created, st->evicted_edge_ids}) {
        OwnedRef items = result ? OwnedRef::consuming(PyList_New(0)) : OwnedRef();
        if (!items || setattr(result.get(), field, items.get()) < 0) {
            return {};
        }
    }
    return result;
}

}  // namespace

PyObject* new_ingest_result(State* st)
{
    OwnedRef record_class = former_global(st, st->LacetIngestResult);
    if (!record_class) {
        return nullptr;
    }
    if (is_pristine_result_class(st, record_class.get())) {
        return build_empty_result(st, reinterpret_cast<PyTypeObject*>(record_class.get())).relinquish();
    }
    return call(record_class.get()).relinquish();
}

namespace {

// graph.add_edge(edge); result.created.append(edge), where a ValueError or
// KeyError skips the edge with a DEBUG record. 0, or -1 to propagate.
int add_and_record(State* st, PyObject* graph, PyObject* result, PyObject* edge,
                   PyObject* rejected_message)
{
    OwnedRef added = call_method(graph, st->add_edge, edge);
    if (added) {
        added.reset();
        OwnedRef created = getattr(result, st->created);
        if (created && append_to(st, created.get(), edge) == 0) {
            return 0;
        }
    }
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_KeyError)) {
        return -1;
    }
    return log_caught(st, Member::on_ingest, st->debug, rejected_message);
}

// The chain edge from the memory ingested last, if chaining is on and that
// memory is another one and still in the graph. 0, or -1 to propagate.
int form_chain_edge(State* st, PyObject* self, PyObject* graph, PyObject* node, PyObject* result)
{
    OwnedRef config = instance_attr(self, st->_config);
    OwnedRef chaining = config ? getattr(config.get(), st->temporal_chain) : OwnedRef();
    if (!chaining) {
        return -1;
    }
    int on = truth(chaining.get());
    if (on <= 0) {
        return on;
    }
    OwnedRef last_id = instance_attr(self, st->_last_id);
    if (!last_id) {
        return -1;
    }
    if (last_id.is_none()) {
        return 0;
    }
    last_id = instance_attr(self, st->_last_id);
    OwnedRef node_id = last_id ? getattr(node, st->id) : OwnedRef();
    if (!node_id) {
        return -1;
    }
    int other = py_ne(last_id.get(), node_id.get());
    if (other <= 0) {
        return other;
    }
    Method has_node(graph, st->has_node);
    if (!has_node) {
        return -1;
    }
    last_id = instance_attr(self, st->_last_id);
    OwnedRef present = last_id ? has_node(last_id.get()) : OwnedRef();
    if (!present) {
        return -1;
    }
    int still_there = truth(present.get());
    if (still_there <= 0) {
        return still_there;
    }

    OwnedRef share = former_global(st, st->share_edge_fields_set);
    OwnedRef edge_class = share ? former_global(st, st->MemoryEdge) : OwnedRef();
    OwnedRef source = edge_class ? instance_attr(self, st->_last_id) : OwnedRef();
    OwnedRef target = source ? getattr(node, st->id) : OwnedRef();
    OwnedRef relationship_class = target ? former_global(st, st->RelationshipMetadata) : OwnedRef();
    OwnedRef types = relationship_class ? former_global(st, st->RelationshipType) : OwnedRef();
    OwnedRef temporal = types ? getattr(types.get(), st->TEMPORAL) : OwnedRef();
    OwnedRef subtype = temporal ? former_global(st, st->CHAIN_SUBTYPE) : OwnedRef();
    if (!subtype) {
        return -1;
    }
    OwnedRef relationship = call_kw(relationship_class.get(), st->kw_chain_relationship,
                                    temporal.get(), subtype.get(), st->chain_description);
    OwnedRef built = relationship ? call_kw(edge_class.get(), st->kw_chain_edge, source.get(),
                                            target.get(), relationship.get())
                                  : OwnedRef();
    OwnedRef edge = built ? call(share.get(), built.get()) : OwnedRef();
    if (!edge) {
        return -1;
    }
    return add_and_record(st, graph, result, edge.get(), st->msg_chain_rejected);
}

// self._service.find_similar(node, [], top_k=..., threshold=...,
// exclude_self=True, candidate_ids=..., node_lookup=...)
OwnedRef run_search(State* st, PyObject* self, PyObject* node)
{
    OwnedRef service = instance_attr(self, st->_service);
    if (!service) {
        return {};
    }
    Method find_similar(service.get(), st->find_similar);
    if (!find_similar) {
        return {};
    }
    OwnedRef exclude = OwnedRef::consuming(PyList_New(0));
    OwnedRef config = exclude ? instance_attr(self, st->_config) : OwnedRef();
    OwnedRef top_k = config ? getattr(config.get(), st->max_semantic_edges_per_node) : OwnedRef();
    config = top_k ? instance_attr(self, st->_config) : OwnedRef();
    OwnedRef threshold = config ? getattr(config.get(), st->similarity_threshold) : OwnedRef();
    OwnedRef candidate_ids = threshold ? instance_attr(self, st->_candidate_ids) : OwnedRef();
    OwnedRef node_lookup = candidate_ids ? instance_attr(self, st->_node_lookup) : OwnedRef();
    if (!node_lookup) {
        return {};
    }
    return find_similar.call_kw(st->kw_find_similar, node, exclude.get(), top_k.get(),
                                threshold.get(), Py_True, candidate_ids.get(), node_lookup.get());
}

// The search, when the node has an embedding and the index is not empty.
// Any Exception from it is logged and leaves `similar` empty. 0, or -1.
int search_similar(State* st, PyObject* self, PyObject* node, OwnedRef& similar)
{
    OwnedRef embedding = getattr(node, st->content_embedding);
    if (!embedding) {
        return -1;
    }
    if (embedding.is_none()) {
        return 0;
    }
    OwnedRef candidate_ids = instance_attr(self, st->_candidate_ids);
    if (!candidate_ids) {
        return -1;
    }
    int any = truth(candidate_ids.get());
    if (any <= 0) {
        return any;
    }
    similar = run_search(st, self, node);
    if (similar) {
        return 0;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return -1;
    }
    return log_caught(st, Member::on_ingest, st->warning, st->msg_search_failed);
}

// self._are_connected(graph, node.id, candidate.id), as a truth value.
int call_are_connected(State* st, PyObject* self, PyObject* graph, PyObject* node,
                       PyObject* candidate)
{
    Method method(self, st->_are_connected);
    if (!method) {
        return -1;
    }
    OwnedRef a_id = getattr(node, st->id);
    OwnedRef b_id = a_id ? getattr(candidate, st->id) : OwnedRef();
    if (!b_id) {
        return -1;
    }
    if (method.is_plain(st->own_are_connected)) {
        return traced(st->former_dict, Member::are_connected,
                      are_connected(st, graph, a_id.get(), b_id.get()));
    }
    OwnedRef answer = method(graph, a_id.get(), b_id.get());
    return answer ? truth(answer.get()) : -1;
}

// self._enforce_cap(graph, node.id, candidate.id, sim, result), as a truth value.
int call_enforce_cap(State* st, PyObject* self, PyObject* graph, PyObject* node,
                     PyObject* candidate, PyObject* sim, PyObject* result)
{
    Method method(self, st->_enforce_cap);
    if (!method) {
        return -1;
    }
    OwnedRef a_id = getattr(node, st->id);
    OwnedRef b_id = a_id ? getattr(candidate, st->id) : OwnedRef();
    if (!b_id) {
        return -1;
    }
    if (method.is_unbound(st->own_enforce_cap)) {
        return traced(st->former_dict, Member::enforce_cap,
                      enforce_cap(st, self, graph, a_id.get(), b_id.get(), sim, result));
    }
    OwnedRef answer = method(graph, a_id.get(), b_id.get(), sim, result);
    return answer ? truth(answer.get()) : -1;
}

// share_edge_fields_set(MemoryEdge(source_node=node.id, target_node=candidate.id,
//     relationship=RelationshipMetadata(type=RelationshipType.SEMANTIC,
//         subtype=SEMANTIC_SUBTYPE, bidirectional=True),
//     weight=WeightMetadata(current=sim, initial=sim)))
OwnedRef build_semantic_edge(State* st, PyObject* node, PyObject* candidate, PyObject* sim)
{
    OwnedRef share = former_global(st, st->share_edge_fields_set);
    OwnedRef edge_class = share ? former_global(st, st->MemoryEdge) : OwnedRef();
    OwnedRef source = edge_class ? getattr(node, st->id) : OwnedRef();
    OwnedRef target = source ? getattr(candidate, st->id) : OwnedRef();
    OwnedRef relationship_class = target ? former_global(st, st->RelationshipMetadata) : OwnedRef();
    OwnedRef types = relationship_class ? former_global(st, st->RelationshipType) : OwnedRef();
    OwnedRef semantic = types ? getattr(types.get(), st->SEMANTIC) : OwnedRef();
    OwnedRef subtype = semantic ? former_global(st, st->SEMANTIC_SUBTYPE) : OwnedRef();
    if (!subtype) {
        return {};
    }
    OwnedRef relationship = call_kw(relationship_class.get(), st->kw_semantic_relationship,
                                    semantic.get(), subtype.get(), Py_True);
    OwnedRef weight_class = relationship ? former_global(st, st->WeightMetadata) : OwnedRef();
    OwnedRef weight = weight_class ? call_kw(weight_class.get(), st->kw_weight, sim, sim) : OwnedRef();
    OwnedRef built = weight ? call_kw(edge_class.get(), st->kw_semantic_edge, source.get(),
                                      target.get(), relationship.get(), weight.get())
                            : OwnedRef();
    return built ? call(share.get(), built.get()) : OwnedRef();
}

// One (candidate, similarity) pair of the search. 0, or -1 to propagate.
int consider_candidate(State* st, PyObject* self, PyObject* graph, PyObject* node,
                       PyObject* candidate, PyObject* similarity, PyObject* result)
{
    OwnedRef candidate_id = getattr(candidate, st->id);
    OwnedRef node_id = candidate_id ? getattr(node, st->id) : OwnedRef();
    if (!node_id) {
        return -1;
    }
    int itself = py_eq(candidate_id.get(), node_id.get());
    if (itself) {
        return itself < 0 ? -1 : 0;
    }
    int connected = call_are_connected(st, self, graph, node, candidate);
    if (connected) {
        return connected < 0 ? -1 : 0;
    }
    OwnedRef sim = OwnedRef::consuming(PyNumber_Float(similarity));
    if (!sim) {
        return -1;
    }
    // A NaN is no similarity: every comparison with it is false, so it
    // would evict the weakest edge and be stored as a NaN weight.
    if (std::isnan(PyFloat_AS_DOUBLE(sim.get()))) {
        return 0;
    }
    int admitted = call_enforce_cap(st, self, graph, node, candidate, sim.get(), result);
    if (admitted <= 0) {
        return admitted;
    }
    OwnedRef edge = build_semantic_edge(st, node, candidate, sim.get());
    if (!edge) {
        return -1;
    }
    return add_and_record(st, graph, result, edge.get(), st->msg_semantic_rejected);
}

int form_semantic_edges(State* st, PyObject* self, PyObject* graph, PyObject* node,
                        PyObject* similar, PyObject* result)
{
    Iteration iteration(similar);
    if (!iteration) {
        return -1;
    }
    while (OwnedRef item = iteration.next()) {
        OwnedRef candidate, similarity;
        if (unpack_pair(item.get(), candidate, similarity) < 0 ||
            consider_candidate(st, self, graph, node, candidate.get(), similarity.get(), result) <
                0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

PyObject* on_ingest(State* st, PyObject* self, PyObject* graph, PyObject* node)
{
    OwnedRef result = OwnedRef::consuming(new_ingest_result(st));
    if (!result || form_chain_edge(st, self, graph, node, result.get()) < 0) {
        return nullptr;
    }
    OwnedRef similar;
    if (search_similar(st, self, node, similar) < 0) {
        return nullptr;
    }
    if (similar && form_semantic_edges(st, self, graph, node, similar.get(), result.get()) < 0) {
        return nullptr;
    }
    similar.reset();
    if (register_candidate(st, self, node) < 0) {
        return nullptr;
    }
    OwnedRef node_id = getattr(node, st->id);
    if (!node_id || setattr(self, st->_last_id, node_id.get()) < 0) {
        return nullptr;
    }
    return result.relinquish();
}

int are_connected(State* st, PyObject* graph, PyObject* a_id, PyObject* b_id)
{
    OwnedRef forward = call_method(graph, st->get_edge_between, a_id, b_id);
    if (!forward) {
        return -1;
    }
    if (!forward.is_none()) {
        return 1;
    }
    forward.reset();
    OwnedRef backward = call_method(graph, st->get_edge_between, b_id, a_id);
    if (!backward) {
        return -1;
    }
    return !backward.is_none();
}

}  // namespace lacet
