// Batch ingest: every node with an embedding enters the candidate index
// first, then each node is ingested through the instance's on_ingest; an
// Exception from one node is logged and the batch goes on.
#include "error_context.hpp"
#include "extension.hpp"
#include "log_caught.hpp"
#include "pyops.hpp"
#include "registration.hpp"

#include <vector>

namespace lacet {

namespace {

// self.on_ingest(graph, node), looked up on the instance each time, so an
// override in a subclass or on the instance is what runs.
OwnedRef ingest_one(State* st, PyObject* self, PyObject* graph, PyObject* node)
{
    Method method(self, st->on_ingest);
    if (!method) {
        return {};
    }
    if (method.is_unbound(st->own_on_ingest)) {
        return OwnedRef::consuming(
            traced(st->former_dict, Member::on_ingest, on_ingest(st, self, graph, node)));
    }
    return method(graph, node);
}

// result.<field>.extend(one.<field>)
int merge_field(State* st, PyObject* result, PyObject* one, PyObject* field)
{
    OwnedRef into = getattr(result, field);
    OwnedRef items = into ? getattr(one, field) : OwnedRef();
    if (!items) {
        return -1;
    }
    return extend_with(st, into.get(), items.get());
}

}  // namespace

PyObject* on_ingest_batch(State* st, PyObject* self, PyObject* graph, PyObject* nodes)
{
    // `nodes` is iterated exactly once, into references of our own: a
    // one-shot iterator serves both passes, and nothing the host does to
    // its list during the batch changes what the batch ingests.
    std::vector<OwnedRef> batch;
    {
        Iteration iteration(nodes);
        if (!iteration) {
            return nullptr;
        }
        while (OwnedRef node = iteration.next()) {
            batch.push_back(std::move(node));
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    OwnedRef result = OwnedRef::consuming(new_ingest_result(st));
    if (!result) {
        return nullptr;
    }
    for (const OwnedRef& node : batch) {
        if (register_candidate(st, self, node.get()) < 0) {
            return nullptr;
        }
    }
    for (const OwnedRef& node : batch) {
        OwnedRef one = ingest_one(st, self, graph, node.get());
        if (!one) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                return nullptr;
            }
            auto node_id = [&] { return getattr(node.get(), st->id); };
            if (log_caught(st, Member::on_ingest_batch, st->warning, st->msg_batch_failed, node_id) <
                0) {
                return nullptr;
            }
            continue;
        }
        if (merge_field(st, result.get(), one.get(), st->created) < 0 ||
            merge_field(st, result.get(), one.get(), st->evicted_edge_ids) < 0) {
            return nullptr;
        }
    }
    return result.relinquish();
}

}  // namespace lacet
