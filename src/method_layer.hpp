// The method layer: where a call from Python enters the package and where
// its result leaves it. Arguments are bound to the positional-or-keyword
// parameters of a function, with the messages Python gives for a bad call of
// a function with that signature; results are handed back through
// hand_back(), the only place that relinquishes a reference to Python.
#pragma once

#include "error_context.hpp"
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

// The arguments of a vectorcall as they arrive.
struct VectorcallArgs {
    PyObject* const* args;
    size_t nargsf;  // may carry PY_VECTORCALL_ARGUMENTS_OFFSET
    PyObject* kwnames;
};

// Fills `out[0..count)` with borrowed references to the arguments (owned by
// the caller of the vectorcall for the whole call); parameters that were not
// given stay nullptr. Returns 0, or -1 with TypeError set.
int bind_arguments(const Signature& sig, const VectorcallArgs& call, PyObject** out);

// A method's result on its way back to Python: a new reference, or nullptr
// with the exception set, which then gets a traceback entry for `member`
// (`globals`: the namespace of the module the member belongs to).
inline PyObject* hand_back(PyObject* globals, Member member, OwnedRef result)
{
    return traced(globals, member, result.relinquish());
}


}  // namespace lacet
