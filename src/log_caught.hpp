// Logging a caught exception the way `logger.<level>(msg, ..., exc_info=True)`
// inside an `except` block does.
#pragma once

#include "calls.hpp"
#include "error_context.hpp"
#include "globals.hpp"

#include <cstddef>
#include <type_traits>

namespace lacet {

// Takes the exception that is being raised as the caught one, with an entry
// for `where` (the function whose handler caught it) at the head of its
// traceback, as the except block's frame puts one there. While the
// logging call runs, it is the handled exception (what sys.exc_info()
// returns, so the record carries it and its traceback); the handled
// exception of the caller is restored afterwards. `argument` is evaluated
// after the logger method is looked up, as in the Python call; it returns
// an empty OwnedRef with an exception set on failure, or is absent.
// Returns 0, or -1 with the exception raised inside the handler set.
namespace detail {

class HandledException {
public:
    explicit HandledException(PyObject* caught) noexcept
        : previous_(OwnedRef::consuming(PyErr_GetHandledException()))
    {
        PyErr_SetHandledException(caught);
    }
    ~HandledException() { PyErr_SetHandledException(previous_.get()); }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

private:
    OwnedRef previous_;
};

}  // namespace detail

template <typename ArgumentFn>
int log_caught(State* st, Member where, PyObject* level, PyObject* message, ArgumentFn argument)
{
    add_traceback_entry(st->former_dict, where);
    OwnedRef caught = OwnedRef::consuming(PyErr_GetRaisedException());
    detail::HandledException handling(caught.get());
    OwnedRef logger = former_global(st, st->global_logger);
    if (!logger) return -1;
    Method log(logger.get(), level);
    if (!log) return -1;
    OwnedRef logged;
    if constexpr (std::is_same_v<ArgumentFn, std::nullptr_t>) {
        logged = log.call_kw(st->kw_exc_info, message, Py_True);
    }
    else {
        OwnedRef value = argument();
        if (!value) return -1;
        logged = log.call_kw(st->kw_exc_info, message, value.get(), Py_True);
    }
    return logged ? 0 : -1;
}

inline int log_caught(State* st, Member where, PyObject* level, PyObject* message)
{
    return log_caught(st, where, level, message, nullptr);
}

}  // namespace lacet
