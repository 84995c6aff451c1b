// Module globals looked up at the time of use, as a Python function of the
// module looks them up: the namespace, then the builtins, then NameError.
#pragma once

#include "module_state.hpp"

namespace lacet {

// A global of vantor_lacet.former, looked up at the time of use, as a
// Python function of that module would: the module namespace, then the
// builtins, then NameError. The form with a cache keeps what it found
// while the namespace is unchanged.
OwnedRef former_global(State* st, PyObject* name);
OwnedRef former_global(State* st, GlobalCache& cache);
OwnedRef global(State* st, PyObject* globals, PyObject* name);

// Has the interpreter report every change of the former module's namespace
// to the globals caches, through a dict watcher of this module instance's
// own. Where the interpreter has no watcher left, nothing is cached. 0, or
// -1 with an exception set.
int watch_former_namespace(State* st);
// Gives the watcher back; called as the module state is cleared.
void unwatch_former_namespace(State* st);

}  // namespace lacet
