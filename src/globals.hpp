// Module globals looked up at the time of use, as a Python function of the
// module looks them up: the namespace, then the builtins, then NameError.
#pragma once

#include "module_state.hpp"

namespace lacet {

// A global of vantor_lacet.former, looked up at the time of use, as a
// Python function of that module would: the module namespace, then the
// builtins, then NameError.
OwnedRef former_global(State* st, PyObject* name);
OwnedRef former_global(State* st, GlobalCache& cache);
OwnedRef global(State* st, PyObject* globals, PyObject* name);

}  // namespace lacet
