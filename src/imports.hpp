// `from <module> import <names...>` through the import system.
#pragma once

#include "ref.hpp"

namespace lacet {

// `from <module_name> import <names...>`: the module is imported through
// the import system (a cache lookup once loaded) and each name read from
// it, with the import system's ImportError for a missing one.
int import_from(PyObject* globals, PyObject* module_name, PyObject* fromlist, OwnedRef* out);

}  // namespace lacet
