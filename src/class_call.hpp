// Host classes called with keyword arguments only: `cls(name=value, ...)`.
//
// type.__call__ with keywords makes a kwargs dict for the class call, and
// the Python __init__ it then runs unpacks that dict again. When the class
// is an ordinary Python class, the same two steps can be taken directly:
// object.__new__(cls), then __init__(self, ...) by vectorcall with the
// keyword names. What the class's code sees is the same; only the dict is
// saved. Whether a class qualifies is decided once per version tag of the
// class, so a class changed in any way (a new __init__ or __new__, a base
// changed, __abstractmethods__ set) is looked at afresh, and anything
// unusual takes the generic call.
#pragma once

#include "calls.hpp"
#include "module_state.hpp"

#include <array>

namespace lacet {

// The __init__ function to run after object.__new__(cls), when `cls` is
// called through type.__call__, is not abstract, has object.__new__ and a
// Python __init__; nullptr when the generic call must be made. Borrowed.
PyObject* plain_init(State* st, ConstructorCache& cache, PyObject* cls);

// __init__(self, ...) has run with the keyword arguments of a call that
// was not made directly (the class changed under the allocation): the
// generic tp_init with a kwargs dict. 0, or -1 with an exception set.
int init_generic(State* st, PyObject* self, PyObject* const* values, PyObject* kwnames);

// `cls(**dict(zip(kwnames, values)))`, as type.__call__ does it.
template <typename... Values>
OwnedRef construct(State* st, ConstructorCache& cache, PyObject* cls, PyObject* kwnames,
                   Values... values)
{
    static_assert(sizeof...(Values) > 0, "keyword arguments only");
    PyObject* found = plain_init(st, cache, cls);
    if (!found) return call_kw(cls, kwnames, values...);
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    // Held for the call: __init__ may rebind __init__ on its class.
    OwnedRef init = OwnedRef::owning(found);
    OwnedRef self = OwnedRef::consuming(type->tp_new(type, st->empty_tuple, nullptr));
    if (!self) return {};
    std::array<PyObject*, sizeof...(Values) + 2> slots{nullptr, self.get(), values...};
    // The allocation may have run a finalizer that changed the class;
    // type.__call__ would look __init__ up after it.
    if (!compat::has_version_tag(type, cache.version)) {
        return init_generic(st, self.get(), &slots[2], kwnames) < 0 ? OwnedRef() : self;
    }
    OwnedRef returned = OwnedRef::consuming(
        PyObject_Vectorcall(init.get(), &slots[1], 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    if (!returned) return {};
    if (!returned.is_none()) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(returned.get())->tp_name);
        return {};
    }
    return self;
}

}  // namespace lacet
