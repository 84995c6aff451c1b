#include "registration.hpp"

#include "pyops.hpp"

namespace lacet {

int register_candidate(State* st, PyObject* self, PyObject* node)
{
    OwnedRef embedding = getattr(node, st->content_embedding);
    if (!embedding) {
        return -1;
    }
    if (embedding.is_none()) {
        return 0;
    }
    OwnedRef candidate_ids = instance_attr(self, st->_candidate_ids);
    OwnedRef node_id = candidate_ids ? getattr(node, st->id) : OwnedRef();
    if (!node_id || add_to(st, candidate_ids.get(), node_id.get()) < 0) {
        return -1;
    }
    OwnedRef node_lookup = instance_attr(self, st->_node_lookup);
    node_id = node_lookup ? getattr(node, st->id) : OwnedRef();
    if (!node_id) {
        return -1;
    }
    return store_item(node_lookup.get(), node_id.get(), node);
}

}  // namespace lacet
