// Entering a node into the candidate index.
#pragma once

#include "module_state.hpp"

namespace lacet {

// if node.content_embedding is not None:
//     self._candidate_ids.add(node.id); self._node_lookup[node.id] = node
// 0, or -1 with an exception set.
int register_candidate(State* st, PyObject* self, PyObject* node);

}  // namespace lacet
