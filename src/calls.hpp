// Calls with the semantics of Python call expressions, by vectorcall:
// `f(...)`, `f(..., name=value)`, and `obj.name(...)` looked up the way the
// interpreter looks up a method call.
#pragma once

#include "attributes.hpp"
#include "compat.hpp"
#include "module_state.hpp"

#include <array>
#include <cstddef>

namespace lacet {

// `obj.name` resolved the way the interpreter resolves a method call:
// looked up now, called later, without creating a bound method when the
// attribute is a plain method of the type.
class Method {
public:
    Method(PyObject* obj, PyObject* name) noexcept
    {
        PyObject* found = nullptr;
        if (compat::get_method(obj, name, &found)) {
            self_ = obj;
        }
        callable_ = OwnedRef::consuming(found);
    }
    // The same through a call-site cache (see AttrSite).
    Method(PyObject* obj, AttrSite& site, Owner owner = Owner::host) noexcept
    {
        if (detail::applies(obj, site, owner)) {
            if (site.kind == AttrSite::Kind::slot) {
                // A data descriptor: its value, whatever the instance holds.
                PyObject* value = slot_value(obj, site.offset);
                if (value) {
                    callable_ = OwnedRef::owning(value);
                    return;
                }
            }
            else if (site.kind != AttrSite::Kind::generic) {
                // The instance dict comes before a function on the type (a
                // host's managed dict is not created here: learn() only
                // takes a function for a host type without instance dicts),
                // unless the instance is known to lack the name.
                bool is_function = site.kind == AttrSite::Kind::type_method ||
                                   site.kind == AttrSite::Kind::static_method;
                bool may_read_dict =
                    is_function ? site.dict_lookup && !compat::instance_lacks(obj, site.dict)
                                : owner == Owner::extension ||
                                      !PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_MANAGED_DICT);
                if (may_read_dict && instance_dict_lookup(obj, site.name, callable_) != 0) return;
                // A key's __eq__ in the dict lookup can run code that changes
                // the class and frees what the site borrows: looked at again.
                if (!compat::has_version_tag(Py_TYPE(obj), site.version)) {
                    site.forget();
                }
                else if (site.kind == AttrSite::Kind::type_method) {
                    callable_ = OwnedRef::owning(site.function);
                    self_ = obj;
                    return;
                }
                else if (site.kind == AttrSite::Kind::static_method) {
                    // What the generic lookup would call: the static method's
                    // callable now (an uninitialised one raises RuntimeError).
                    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
                    callable_ = OwnedRef::consuming(
                        PyStaticMethod_Type.tp_descr_get(site.function, obj, type));
                    return;
                }
            }
        }
        PyObject* found = nullptr;
        if (compat::get_method(obj, site.name, &found)) {
            self_ = obj;
        }
        callable_ = OwnedRef::consuming(found);
    }
    explicit operator bool() const noexcept { return static_cast<bool>(callable_); }
    // True when the lookup found the function `target` on the type, to be
    // called with the object as its first argument (a plain method).
    bool is_type_method(PyObject* target) const noexcept
    {
        return self_ && callable_.get() == target;
    }
    // True when the lookup produced `target` itself, to be called as it is
    // (a static method's function, or a value from the instance).
    bool is_value(PyObject* target) const noexcept { return !self_ && callable_.get() == target; }
    // True when the lookup yields the extension's own member, untouched.
    bool is_own(const OwnMember& own) const noexcept
    {
        return own.called_with_self ? is_type_method(own.found) : is_value(own.found);
    }

    template <typename... Args>
    OwnedRef operator()(Args... args) const
    {
        return call_kw(nullptr, args...);
    }

    // Calls with the trailing arguments named by `kwnames`.
    template <typename... Args>
    OwnedRef call_kw(PyObject* kwnames, Args... args) const
    {
        std::array<PyObject*, sizeof...(Args) + 2> slots{nullptr, self_, args...};
        PyObject** first = self_ ? &slots[1] : &slots[2];
        std::size_t nargs = sizeof...(Args) + (self_ ? 1 : 0);
        if (kwnames) {
            nargs -= static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
        }
        return OwnedRef::consuming(PyObject_Vectorcall(
            callable_.get(), first, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }

private:
    OwnedRef callable_;
    PyObject* self_ = nullptr;  // borrowed from the caller, who holds `obj`
};

// `callable(*args)` with the trailing arguments named by `kwnames`.
template <typename... Args>
OwnedRef call_kw(PyObject* callable, PyObject* kwnames, Args... args)
{
    std::array<PyObject*, sizeof...(Args) + 1> slots{nullptr, args...};
    std::size_t nargs = sizeof...(Args);
    if (kwnames) {
        nargs -= static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    }
    return OwnedRef::consuming(
        PyObject_Vectorcall(callable, &slots[1], nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

template <typename... Args>
OwnedRef call(PyObject* callable, Args... args)
{
    return call_kw(callable, nullptr, args...);
}

// `obj.name(*args)`, looked up and called at once.
template <typename... Args>
OwnedRef call_method(PyObject* obj, PyObject* name, Args... args)
{
    std::array<PyObject*, sizeof...(Args) + 2> slots{nullptr, obj, args...};
    return OwnedRef::consuming(PyObject_VectorcallMethod(
        name, &slots[1], (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `obj.name(*args)` through a call-site cache.
template <typename... Args>
OwnedRef call_method(PyObject* obj, AttrSite& site, Args... args)
{
    Method method(obj, site);
    if (!method) return {};
    return method(args...);
}

}  // namespace lacet
