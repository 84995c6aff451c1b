// Iteration with the semantics of a `for` loop.
#pragma once

#include "ref.hpp"

namespace lacet {

// `for item in iterable:`. Exact lists and tuples are walked by index,
// checked against their current length at each step, which is what their
// iterators do (so a list changed during the loop behaves the same).
class Iteration {
public:
    explicit Iteration(PyObject* iterable)
    {
        if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
            sequence_ = OwnedRef::owning(iterable);
            is_list_ = PyList_CheckExact(iterable);
        }
        else {
            iterator_ = OwnedRef::consuming(PyObject_GetIter(iterable));
            failed_ = !iterator_;
        }
    }
    // False when the iterable could not be iterated (exception set).
    explicit operator bool() const noexcept { return !failed_; }

    // The next item; empty at the end, or on error with an exception set.
    OwnedRef next()
    {
        if (sequence_) {
            PyObject* items = sequence_.get();
            Py_ssize_t size = is_list_ ? PyList_GET_SIZE(items) : PyTuple_GET_SIZE(items);
            if (index_ < size) {
                PyObject* item =
                    is_list_ ? PyList_GET_ITEM(items, index_) : PyTuple_GET_ITEM(items, index_);
                ++index_;
                return OwnedRef::owning(item);
            }
            sequence_.reset();
            return {};
        }
        return iterator_ ? OwnedRef::consuming(PyIter_Next(iterator_.get())) : OwnedRef();
    }

private:
    OwnedRef sequence_;
    OwnedRef iterator_;
    Py_ssize_t index_ = 0;
    bool is_list_ = false;
    bool failed_ = false;
};

}  // namespace lacet
