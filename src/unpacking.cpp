#include "unpacking.hpp"

namespace lacet {

int unpack_pair(PyObject* item, OwnedRef& first, OwnedRef& second)
{
    if ((PyTuple_CheckExact(item) || PyList_CheckExact(item)) && Py_SIZE(item) == 2) {
        PyObject** items = PyTuple_CheckExact(item) ? &PyTuple_GET_ITEM(item, 0)
                                                    : &PyList_GET_ITEM(item, 0);
        first = OwnedRef::owning(items[0]);
        second = OwnedRef::owning(items[1]);
        return 0;
    }
    if (Py_TYPE(item)->tp_iter == nullptr && !PySequence_Check(item)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(item)->tp_name);
        return -1;
    }
    OwnedRef iterator = OwnedRef::consuming(PyObject_GetIter(item));
    if (!iterator) return -1;
    OwnedRef* targets[2] = {&first, &second};
    for (int got = 0; got < 2; ++got) {
        *targets[got] = OwnedRef::consuming(PyIter_Next(iterator.get()));
        if (!*targets[got]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError,
                             "not enough values to unpack (expected 2, got %d)", got);
            }
            return -1;
        }
    }
    OwnedRef extra = OwnedRef::consuming(PyIter_Next(iterator.get()));
    if (!extra) return PyErr_Occurred() ? -1 : 0;
    compat::too_many_to_unpack(item, 2);
    return -1;
}

}  // namespace lacet
