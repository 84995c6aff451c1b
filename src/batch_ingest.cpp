// Batch ingest: every node with an embedding enters the candidate index
// first, then each node is ingested through the instance's on_ingest; an
// Exception from one node is logged and the batch goes on.
#include "calls.hpp"
#include "containers.hpp"
#include "extension.hpp"
#include "iteration.hpp"
#include "log_caught.hpp"

#include <vector>

namespace lacet {

namespace {

// one = self.on_ingest(graph, node), looked up on the instance each time,
// so an override in a subclass or on the instance is what runs. The
// package's own method may record straight into `sink`, leaving `one`
// empty. 0, or -1 with an exception set.
int ingest_one(IngestContext& cx, PyObject* node, BatchSink* sink, OwnedRef& one)
{
    Method method(cx.self, cx.st->own_on_ingest.site, Owner::extension);
    if (!method) return -1;
    if (method.is_own(cx.st->own_on_ingest)) {
        IngestContext node_cx{cx.st, cx.self, cx.graph, node, nullptr};
        if (on_ingest_in_batch(node_cx, sink, one) < 0) {
            add_traceback_entry(cx.st->former_dict, Member::on_ingest);
            return -1;
        }
        return 0;
    }
    one = method(cx.graph, node);
    return one ? 0 : -1;
}

// result.<field>.extend(one.<field>); both results are read like the
// package's own objects (their instance dicts directly).
struct FieldSites {
    AttrSite& into;   // the field of the batch's result
    AttrSite& items;  // the same field of one node's result
};

int merge_field(State* st, PyObject* result, PyObject* one, const FieldSites& field)
{
    OwnedRef into = getattr(result, field.into, Owner::extension);
    if (!into) return -1;
    OwnedRef items = getattr(one, field.items, Owner::extension);
    if (!items) return -1;
    return extend_with(st, into.get(), items.get());
}

// `nodes` iterated exactly once, into references of our own: a one-shot
// iterator serves both passes, and nothing the host does to its list during
// the batch changes what the batch ingests.
int take_nodes(PyObject* nodes, std::vector<OwnedRef>& batch)
{
    Iteration iteration(nodes);
    if (!iteration) return -1;
    while (OwnedRef node = iteration.next()) {
        batch.push_back(std::move(node));
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

OwnedRef on_ingest_batch(IngestContext& cx, PyObject* nodes)
{
    State* st = cx.st;
    std::vector<OwnedRef> batch;
    if (take_nodes(nodes, batch) < 0) return {};
    OwnedRef result = new_ingest_result(st);
    if (!result) return {};
    for (const OwnedRef& node : batch) {
        if (register_candidate(cx, node.get(), nullptr) < 0) return {};
    }
    BatchSink lists;
    int direct = batch_sink_for(st, result.get(), lists);
    if (direct < 0) return {};
    BatchSink* sink = direct ? &lists : nullptr;
    for (const OwnedRef& node : batch) {
        OwnedRef one;
        if (ingest_one(cx, node.get(), sink, one) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
            auto node_id = [&] { return getattr(node.get(), st->str_id); };
            if (log_caught(st, Member::on_ingest_batch, st->str_warning, st->str_msg_batch_failed,
                           node_id) < 0) {
                return {};
            }
            continue;
        }
        if (!one) {
            continue;  // already in the batch's lists
        }
        if (merge_field(st, result.get(), one.get(), {st->at_result_created, st->at_one_created}) <
            0) {
            return {};
        }
        if (merge_field(st, result.get(), one.get(),
                        {st->at_result_evicted_edge_ids, st->at_one_evicted_edge_ids}) < 0) {
            return {};
        }
    }
    return result;
}

}  // namespace lacet
