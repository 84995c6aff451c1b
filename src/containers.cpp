#include "containers.hpp"

#include "calls.hpp"

namespace lacet {

namespace {

// 0 when a method call gave a result, -1 with its error set.
int status_of(const OwnedRef& called)
{
    return called ? 0 : -1;
}

}  // namespace

// Each of these takes the exact builtin's own operation where it can, and
// otherwise calls the method, as `container.append(item)` would.
int append_to(State* st, PyObject* container, PyObject* item)
{
    return PyList_CheckExact(container) ? PyList_Append(container, item)
                                        : status_of(call_method(container, st->str_append, item));
}

int add_to(State* st, PyObject* container, PyObject* item)
{
    return PySet_CheckExact(container) ? PySet_Add(container, item)
                                       : status_of(call_method(container, st->str_add, item));
}

int store_item(PyObject* container, PyObject* key, PyObject* value)
{
    return PyDict_CheckExact(container) ? PyDict_SetItem(container, key, value)
                                        : PyObject_SetItem(container, key, value);
}

int extend_with(State* st, PyObject* container, PyObject* items)
{
    if (PyList_CheckExact(container) && (PyList_CheckExact(items) || PyTuple_CheckExact(items))) {
        Py_ssize_t end = PyList_GET_SIZE(container);
        return PyList_SetSlice(container, end, end, items);
    }
    return call_method(container, st->str_extend, items) ? 0 : -1;
}

}  // namespace lacet
