// Binding vectorcall arguments to the positional-or-keyword parameters of a
// function, with the messages Python gives for a bad call of a function
// with that signature.
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace lacet {

struct Signature {
    const char* qualname;      // "LacetExtension.on_ingest"
    const char* const* names;  // parameter names, without self
    Py_ssize_t count;          // number of parameters, without self
    Py_ssize_t required;       // leading parameters without a default
    bool bound;                // a method: self counts in Python's messages
};

// Fills `out[0..count)` with borrowed references to the arguments (owned by
// the caller of the vectorcall for the whole call); parameters that were not
// given stay nullptr. Returns 0, or -1 with TypeError set.
int bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);

}  // namespace lacet
