// Module globals looked up at the time of use, as a Python function of the
// module looks them up: the namespace, then the builtins, then NameError.
#pragma once

#include "module_state.hpp"

#include <atomic>
#include <cstdint>

namespace lacet {

// The number of changes made to any watched namespace, for the whole
// process (see globals.cpp): a cached global is valid while the count is
// the one it was found under.
extern std::atomic<std::uint64_t> namespace_changes;

// A global of vantor_lacet.former, looked up at the time of use, as a
// Python function of that module would: the module namespace, then the
// builtins, then NameError. The form with a cache keeps what it found
// while the namespace is unchanged.
OwnedRef former_global(State* st, PyObject* name);
OwnedRef global(State* st, PyObject* globals, PyObject* name);
// The lookup when the cache is not valid: made, and kept when it can be.
OwnedRef former_global_afresh(State* st, GlobalCache& cache);

// The hit is a load and a compare, here in line at every use; the lookup
// itself is not.
inline OwnedRef former_global(State* st, GlobalCache& cache)
{
    if (cache.version == namespace_changes.load(std::memory_order_relaxed)) {
        ++cache.counts.hits;
        return OwnedRef::owning(cache.value);
    }
    return former_global_afresh(st, cache);
}

// Has the interpreter report every change of the former module's namespace
// to the globals caches, through a dict watcher of this module instance's
// own. Where the interpreter has no watcher left, nothing is cached. 0, or
// -1 with an exception set.
int watch_former_namespace(State* st);
// Gives the watcher back; called as the module state is cleared.
void unwatch_former_namespace(State* st);

}  // namespace lacet
