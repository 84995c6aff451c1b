#include "globals.hpp"

namespace lacet {

// The number of changes made to any watched namespace, for the whole
// process. A dict watcher's callback is handed the dict alone, with no way
// to reach the module state of the interpreter it runs in (watchers take no
// context, and one interpreter can hold several instances of the module
// after a re-import), so every watcher adds to this one count, and a cached
// global is valid while the count is the one it was found under. A change
// made in another interpreter, or to an earlier instance's namespace, then
// costs a lookup, never a wrong answer. The count starts at 1, so that 0
// marks an empty cache, and 64 bits do not wrap.
//
// Relaxed order is enough: an interpreter changes and reads its own
// namespace only under its own GIL, which orders the two; an increment from
// another interpreter (with a GIL of its own, on another thread) can only
// make the count larger, and so a cache miss. The atomic keeps those
// increments whole.
std::atomic<std::uint64_t> namespace_changes{1};

namespace {

// Called just before the change is made; nothing that could read the
// namespace runs in between.
int on_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*)
{
    namespace_changes.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

std::uint64_t changes_now() { return namespace_changes.load(std::memory_order_relaxed); }

OwnedRef builtin(State* st, PyObject* name);

}  // namespace

int watch_former_namespace(State* st)
{
    int id = PyDict_AddWatcher(on_namespace_change);
    if (id < 0) {
        // Every watcher of the interpreter is taken: correct, uncached.
        PyErr_Clear();
        return 0;
    }
    st->former_watcher = id;
    return PyDict_Watch(id, st->former_dict);
}

void unwatch_former_namespace(State* st)
{
    if (!st->former_dict || st->former_watcher < 0) return;
    PyObject* error = PyErr_GetRaisedException();
    // The namespace may outlive the module (a host keeps the former module):
    // it must not call a later owner of the same watcher number.
    if (PyDict_Unwatch(st->former_watcher, st->former_dict) < 0) {
        PyErr_WriteUnraisable(st->former_dict);
    }
    if (PyDict_ClearWatcher(st->former_watcher) < 0) {
        PyErr_WriteUnraisable(st->former_dict);
    }
    st->former_watcher = -1;
    PyErr_SetRaisedException(error);
}

OwnedRef former_global(State* st, PyObject* name) { return global(st, st->former_dict, name); }

OwnedRef former_global_afresh(State* st, GlobalCache& cache)
{
    std::uint64_t changes = changes_now();
    if (cache.version == changes) {
        ++cache.counts.hits;
        return OwnedRef::owning(cache.value);
    }
    ++cache.counts.misses;
    cache.version = 0;
    OwnedRef found;
    int in_namespace = dict_lookup(st->former_dict, cache.name, found);
    if (in_namespace < 0) return {};
    if (in_namespace == 0) return builtin(st, cache.name);
    // Kept only while the namespace is watched, and when the lookup changed
    // nothing (a key's __eq__ could).
    if (st->former_watcher >= 0 && changes_now() == changes) {
        cache = {cache.name, changes, found.get(), cache.counts};
    }
    return found;
}

OwnedRef global(State* st, PyObject* globals, PyObject* name)
{
    OwnedRef found;
    if (dict_lookup(globals, name, found) != 0) return found;
    return builtin(st, name);
}

namespace {

// The builtin `name`, or NameError: what a global missing from the module
// namespace comes to.
OwnedRef builtin(State* st, PyObject* name)
{
    OwnedRef found;
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins && dict_lookup(builtins, name, found) != 0) return found;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    PyObject* error = PyErr_GetRaisedException();
    if (PyObject_SetAttr(error, st->str_name, name) < 0) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(error);
    return {};
}

}  // namespace

}  // namespace lacet
