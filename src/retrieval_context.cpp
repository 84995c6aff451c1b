// The parameters of the host's gossip retrieval, within the host's ceilings.
#include "class_call.hpp"
#include "comparisons.hpp"
#include "extension.hpp"
#include "imports.hpp"

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

// min(max(int(max_results), 1), ceiling)
OwnedRef clamped_results(PyObject* max_results, PyObject* ceiling)
{
    OwnedRef requested = OwnedRef::consuming(PyNumber_Long(max_results));
    if (!requested) return {};
    OwnedRef one = OwnedRef::consuming(PyLong_FromLong(1));
    if (!one) return {};
    OwnedRef at_least_one = larger(requested.get(), one.get());
    if (!at_least_one) return {};
    return smaller(at_least_one.get(), ceiling);
}

}  // namespace

OwnedRef retrieval_context(State* st, PyObject* self, PyObject* max_results)
{
    // from vantor.agents.gossip_retriever import MAX_RESULTS_CEILING,
    //     SEED_COUNT_CEILING, RetrievalContext   (at every call)
    OwnedRef imported[3];
    if (import_from(st->former_dict, st->str_retriever_module_name, st->fromlist_retriever,
                    imported) < 0) {
        return {};
    }
    PyObject* max_results_ceiling = imported[0].get();
    PyObject* seed_count_ceiling = imported[1].get();
    PyObject* context_class = imported[2].get();

    OwnedRef configured_seeds = config_field(st, self, st->at_config_seed_count);
    if (!configured_seeds) return {};
    OwnedRef seeds = smaller(configured_seeds.get(), seed_count_ceiling);
    if (!seeds) return {};
    OwnedRef iterations = config_field(st, self, st->at_config_max_iterations);
    if (!iterations) return {};
    OwnedRef results = clamped_results(max_results, max_results_ceiling);
    if (!results) return {};
    OwnedRef weight = config_field(st, self, st->at_config_coverage_gossip_weight);
    if (!weight) return {};
    return construct(st, st->construct_retrieval_context, context_class,
                     st->kw_retrieval_context, seeds.get(), iterations.get(), results.get(),
                     Py_False, Py_False, Py_False, Py_True, weight.get());
}

}  // namespace lacet
