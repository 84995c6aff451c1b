// How often each cache of a module instance has hit and missed, for the
// tests and the benchmarks: a cache that stops hitting changes no result,
// only the speed, and these counts are how a check sees it.
#pragma once

#include "module_state.hpp"

namespace lacet {

// {name: (hits, misses)} for every cache: "at_<site>" and "own_<member>"
// (attribute and method lookups), "global_<name>" (module globals),
// "construct_<site>" (host class calls) and "result_class" (the untouched
// LacetIngestResult). New reference, or empty with an exception set.
OwnedRef cache_counts(State* st);

}  // namespace lacet
