// The parameters of the host's gossip retrieval, within the host's ceilings.
#include "extension.hpp"
#include "pyops.hpp"

namespace lacet {

namespace {

// min(a, b) and max(a, b) as the builtins pick them: the second value
// replaces the first only when strictly smaller (larger).
OwnedRef smaller(PyObject* a, PyObject* b)
{
    int replaces = compare(b, a, Py_LT);
    return replaces < 0 ? OwnedRef() : OwnedRef::owning(replaces ? b : a);
}

OwnedRef larger(PyObject* a, PyObject* b)
{
    int replaces = compare(b, a, Py_GT);
    return replaces < 0 ? OwnedRef() : OwnedRef::owning(replaces ? b : a);
}

OwnedRef config_field(State* st, PyObject* self, PyObject* field)
{
    OwnedRef config = instance_attr(self, st->_config);
    return config ? getattr(config.get(), field) : OwnedRef();
}

}  // namespace

PyObject* retrieval_context(State* st, PyObject* self, PyObject* max_results)
{
    // from vantor.agents.gossip_retriever import MAX_RESULTS_CEILING,
    //     SEED_COUNT_CEILING, RetrievalContext   (at every call)
    OwnedRef imported[3];
    if (import_from(st->former_dict, st->retriever_module_name, st->fromlist_retriever, imported) <
        0) {
        return nullptr;
    }
    PyObject* max_results_ceiling = imported[0].get();
    PyObject* seed_count_ceiling = imported[1].get();
    PyObject* context_class = imported[2].get();

    OwnedRef configured_seeds = config_field(st, self, st->seed_count);
    OwnedRef seeds = configured_seeds ? smaller(configured_seeds.get(), seed_count_ceiling) : OwnedRef();
    OwnedRef iterations = seeds ? config_field(st, self, st->max_iterations) : OwnedRef();
    OwnedRef requested = iterations ? OwnedRef::consuming(PyNumber_Long(max_results)) : OwnedRef();
    OwnedRef one = requested ? OwnedRef::consuming(PyLong_FromLong(1)) : OwnedRef();
    OwnedRef at_least_one = one ? larger(requested.get(), one.get()) : OwnedRef();
    OwnedRef results = at_least_one ? smaller(at_least_one.get(), max_results_ceiling) : OwnedRef();
    OwnedRef weight = results ? config_field(st, self, st->coverage_gossip_weight) : OwnedRef();
    if (!weight) {
        return nullptr;
    }
    return call_kw(context_class, st->kw_retrieval_context, seeds.get(), iterations.get(),
                   results.get(), Py_False, Py_False, Py_False, Py_True, weight.get())
        .relinquish();
}

}  // namespace lacet
