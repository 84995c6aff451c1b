// Construction of the extension: its five attributes, then the candidate
// index seeded from the graph.
#include "calls.hpp"
#include "comparisons.hpp"
#include "extension.hpp"
#include "globals.hpp"
#include "iteration.hpp"

namespace lacet {

namespace {

// `config or LacetConfig()`
OwnedRef config_or_default(State* st, PyObject* config)
{
    int given = truth(config);
    if (given < 0) return {};
    if (given) return OwnedRef::owning(config);
    OwnedRef record_class = former_global(st, st->global_LacetConfig);
    if (!record_class) return {};
    return call(record_class.get());
}

}  // namespace

int extension_init(IngestContext& cx, PyObject* service, PyObject* config)
{
    State* st = cx.st;
    PyObject* self = cx.self;
    if (setattr(self, st->str__service, service) < 0) return -1;
    OwnedRef stored_config = config_or_default(st, config);
    if (!stored_config) return -1;
    if (setattr(self, st->str__config, stored_config.get()) < 0) return -1;
    if (setattr(self, st->str__last_id, Py_None) < 0) return -1;
    OwnedRef candidate_ids = OwnedRef::consuming(PySet_New(nullptr));
    if (!candidate_ids) return -1;
    if (setattr(self, st->str__candidate_ids, candidate_ids.get()) < 0) return -1;
    OwnedRef node_lookup = OwnedRef::consuming(PyDict_New());
    if (!node_lookup) return -1;
    if (setattr(self, st->str__node_lookup, node_lookup.get()) < 0) return -1;

    OwnedRef nodes = call_method(cx.graph, st->str_all_nodes);
    if (!nodes) return -1;
    Iteration iteration(nodes.get());
    if (!iteration) return -1;
    // The index is filled through the set and dict made above, not through
    // the attributes: the Python constructor registers through locals, so
    // it makes no attribute reads on the instance here.
    const CandidateIndex index{candidate_ids.get(), node_lookup.get()};
    while (OwnedRef node = iteration.next()) {
        if (register_candidate(cx, node.get(), &index) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace lacet
