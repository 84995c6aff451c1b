// Unpacking assignment.
#pragma once

#include "ref.hpp"

namespace lacet {

// `first, second = item`, with the interpreter's messages for items that
// do not unpack into exactly two values. 0, or -1 with an exception set.
int unpack_pair(PyObject* item, OwnedRef& first, OwnedRef& second);

}  // namespace lacet
