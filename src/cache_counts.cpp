#include "cache_counts.hpp"

namespace lacet {

namespace {

int put(PyObject* counts, const char* name, const CacheCounts& entry)
{
    unsigned long long hits = entry.hits;
    unsigned long long misses = entry.misses;
    OwnedRef pair = OwnedRef::consuming(Py_BuildValue("(KK)", hits, misses));
    if (!pair) return -1;
    return PyDict_SetItemString(counts, name, pair.get());
}

}  // namespace

OwnedRef cache_counts(State* st)
{
    OwnedRef counts = OwnedRef::consuming(PyDict_New());
    if (!counts) return {};
    PyObject* out = counts.get();
#define LACET_PUT_SITE(site, name) \
    if (put(out, "at_" #site, st->at_##site.counts) < 0) return {};
    LACET_ATTRIBUTE_SITES(LACET_PUT_SITE)
#undef LACET_PUT_SITE
#define LACET_PUT_GLOBAL(name) \
    if (put(out, "global_" #name, st->global_##name.counts) < 0) return {};
    LACET_CACHED_GLOBALS(LACET_PUT_GLOBAL)
#undef LACET_PUT_GLOBAL
    const struct {
        const char* name;
        const CacheCounts& entry;
    } others[] = {
        {"own_on_ingest", st->own_on_ingest.site.counts},
        {"own_enforce_cap", st->own_enforce_cap.site.counts},
        {"own_are_connected", st->own_are_connected.site.counts},
        {"construct_relationship", st->construct_relationship.counts},
        {"construct_weight", st->construct_weight.counts},
        {"construct_edge", st->construct_edge.counts},
        {"construct_retrieval_context", st->construct_retrieval_context.counts},
        {"result_class", st->result_class_counts},
    };
    for (const auto& other : others) {
        if (put(out, other.name, other.entry) < 0) return {};
    }
    return counts;
}

}  // namespace lacet
