// Owned references to Python objects.
//
// Every PyObject* the package keeps beyond a single C API call lives in an
// OwnedRef. The named constructors say where the reference comes from:
//   OwnedRef::consuming(p)  takes over a new reference (a C API result);
//   OwnedRef::owning(p)     adds a reference to a borrowed pointer.
// relinquish() hands the reference on (e.g. as a function's return value).
#pragma once

// Python.h through compat.hpp, which checks the interpreter version first.
#include "compat.hpp"

#include <utility>

namespace lacet {

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    static OwnedRef consuming(PyObject* p) noexcept { return OwnedRef(p); }
    static OwnedRef owning(PyObject* p) noexcept
    {
        Py_XINCREF(p);
        return OwnedRef(p);
    }

    OwnedRef(const OwnedRef& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    OwnedRef(OwnedRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    OwnedRef& operator=(OwnedRef other) noexcept
    {
        std::swap(p_, other.p_);
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(PyObject* other) const noexcept { return p_ == other; }
    bool is_none() const noexcept { return p_ == Py_None; }

    [[nodiscard]] PyObject* relinquish() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit OwnedRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace lacet
