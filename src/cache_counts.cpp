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
    // The direct reads of instance attributes, all sites together: whether
    // the layout check turned them on (1, 0) or left them off (0, 1), and
    // how often they answered and how often a slower path took over.
    bool on = compat::instance_layout_state.load() == compat::LayoutState::on;
    CacheCounts layout{on ? 1u : 0u, on ? 0u : 1u};
    if (put(out, "instance_layout", layout) < 0) return {};
    CacheCounts values{};
#define LACET_ADD_SITE(site, name)                      \
    values.hits += st->at_##site.dict_counts.hits;     \
    values.misses += st->at_##site.dict_counts.misses;
    LACET_ATTRIBUTE_SITES(LACET_ADD_SITE)
#undef LACET_ADD_SITE
    if (put(out, "instance_values", values) < 0) return {};
    return counts;
}

}  // namespace lacet
