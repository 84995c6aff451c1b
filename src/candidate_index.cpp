// The candidate index: registering a node with an embedding, and on_forget,
// which keeps the index in step with deletions.
#include "calls.hpp"
#include "comparisons.hpp"
#include "containers.hpp"
#include "extension.hpp"
#include "iteration.hpp"

namespace lacet {

namespace {

// `container.discard(item)`. set.discard also accepts a set, looked up as
// the equal frozenset; PySet_Discard does not, so that case goes through
// the method.
int discard_from(State* st, PyObject* container, PyObject* item)
{
    if (PySet_CheckExact(container) && !PySet_Check(item)) {
        return PySet_Discard(container, item) < 0 ? -1 : 0;
    }
    return call_method(container, st->str_discard, item) ? 0 : -1;
}

// `container.pop(key, None)`, the popped value dropped.
int pop_from(State* st, PyObject* container, PyObject* key)
{
    OwnedRef dropped;
    if (PyDict_CheckExact(container)) {
        dropped = OwnedRef::consuming(compat::dict_pop(container, key, Py_None));
    }
    else {
        dropped = call_method(container, st->str_pop, key, Py_None);
    }
    return dropped ? 0 : -1;
}

// One container of the index: the one handed in, or self.<name> read now.
OwnedRef index_part(IngestContext& cx, PyObject* given, AttrSite& site)
{
    return given ? OwnedRef::owning(given) : instance_attr(cx.self, site);
}

// The number of ids in a set (or a set subclass), read without calling
// into Python; -1 for any other container, whose growth cannot be told
// without a host call.
Py_ssize_t set_size(PyObject* container)
{
    return PySet_Check(container) ? PySet_GET_SIZE(container) : -1;
}

// The dict half of a registration: `self._node_lookup[node.id] = node`,
// the dict read first, then the id (read a second time), as the statement
// evaluates them.
int store_in_lookup(IngestContext& cx, PyObject* node, const CandidateIndex* index)
{
    State* st = cx.st;
    OwnedRef node_lookup = index_part(cx, index ? index->node_lookup : nullptr,
                                      st->at_self_node_lookup);
    if (!node_lookup) return -1;
    OwnedRef node_id = getattr(node, st->at_node_id);
    if (!node_id) return -1;
    return store_item(node_lookup.get(), node_id.get(), node);
}

// Takes `node_id` out of the set again while the error of the failed
// registration is pending, as `except BaseException: ids.discard(node_id);
// raise` would: that error propagates; if the removal itself fails, its
// error propagates instead, with the first one as its context.
void undo_add(State* st, PyObject* candidate_ids, PyObject* node_id)
{
    OwnedRef pending = OwnedRef::consuming(PyErr_GetRaisedException());
    if (discard_from(st, candidate_ids, node_id) == 0) {
        PyErr_SetRaisedException(pending.relinquish());
        return;
    }
    OwnedRef failure = OwnedRef::consuming(PyErr_GetRaisedException());
    PyException_SetContext(failure.get(), pending.relinquish());
    PyErr_SetRaisedException(failure.relinquish());
}

}  // namespace

int has_embedding(State* st, PyObject* node)
{
    OwnedRef embedding = getattr(node, st->at_node_embedding);
    if (!embedding) return -1;
    return !embedding.is_none();
}

int register_candidate(IngestContext& cx, PyObject* node, const CandidateIndex* index)
{
    State* st = cx.st;
    int embedded = has_embedding(st, node);
    if (embedded <= 0) return embedded;
    // node.id is read once for the set and again for the dict, as the
    // Python statements do; the differential tests count the reads.
    OwnedRef candidate_ids = index_part(cx, index ? index->candidate_ids : nullptr,
                                        st->at_self_candidate_ids);
    if (!candidate_ids) return -1;
    OwnedRef node_id = getattr(node, st->at_node_id);
    if (!node_id) return -1;
    Py_ssize_t size_before = set_size(candidate_ids.get());
    if (add_to(st, candidate_ids.get(), node_id.get()) < 0) return -1;
    if (store_in_lookup(cx, node, index) == 0) return 0;
    // The id is in the set but not in the dict: every id of the set must
    // resolve through the dict, so the id this call added comes out again
    // before the error goes on. An id that was there before stays.
    if (size_before >= 0 && set_size(candidate_ids.get()) > size_before) {
        undo_add(st, candidate_ids.get(), node_id.get());
    }
    return -1;
}

OwnedRef on_forget(State* st, PyObject* self, PyObject* node_ids)
{
    Iteration iteration(node_ids);
    if (!iteration) return {};
    while (OwnedRef node_id = iteration.next()) {
        OwnedRef candidate_ids = instance_attr(self, st->at_self_candidate_ids);
        if (!candidate_ids) return {};
        if (discard_from(st, candidate_ids.get(), node_id.get()) < 0) return {};
        OwnedRef node_lookup = instance_attr(self, st->at_self_node_lookup);
        if (!node_lookup) return {};
        if (pop_from(st, node_lookup.get(), node_id.get()) < 0) return {};
        OwnedRef last_id = instance_attr(self, st->at_self_last_id);
        if (!last_id) return {};
        int same = py_eq(last_id.get(), node_id.get());
        if (same < 0) return {};
        if (same && setattr(self, st->str__last_id, Py_None) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return OwnedRef::owning(Py_None);
}

}  // namespace lacet
