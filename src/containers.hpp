// Operations on containers the host may supply: the exact builtin's own
// operation where it applies, otherwise the method call Python would make.
#pragma once

#include "module_state.hpp"

namespace lacet {

// `container.append(item)`, `container.add(item)`, `container[key] = value`,
// `container.extend(items)`, with fast paths for the exact builtin types.
int append_to(State* st, PyObject* container, PyObject* item);
int add_to(State* st, PyObject* container, PyObject* item);
int store_item(PyObject* container, PyObject* key, PyObject* value);
int extend_with(State* st, PyObject* container, PyObject* items);

}  // namespace lacet
