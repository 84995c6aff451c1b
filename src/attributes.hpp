// Attribute reads with the semantics of `obj.name`, doing the work the
// interpreter's specialised attribute loads do rather than the fully
// generic path.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

#include <structmember.h>

namespace lacet {

// `obj.name`. A __slots__ member that the type resolves `name` to (a data
// descriptor, so it takes precedence over everything else) is read from
// the object directly; every other case goes through PyObject_GetAttr.
inline OwnedRef getattr(PyObject* obj, PyObject* name)
{
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        PyObject* descr = compat::type_lookup(type, name);  // borrowed, used before any call
        if (descr && Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
            PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
            if (member->type == Py_T_OBJECT_EX && !(member->flags & Py_AUDIT_READ) &&
                PyObject_TypeCheck(obj, PyDescr_TYPE(descr))) {
                PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) +
                                                               member->offset);
                if (value) {
                    return OwnedRef::owning(value);
                }
            }
        }
    }
    return OwnedRef::consuming(PyObject_GetAttr(obj, name));
}

// `self.name` for an attribute kept in the instance dictionary (the
// extension's own state): when the class defines nothing under that name,
// the dictionary answers; otherwise, or when the name is missing, the
// generic lookup runs and gives the usual result or AttributeError.
inline OwnedRef instance_attr(PyObject* obj, PyObject* name)
{
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro == PyObject_GenericGetAttr && !compat::type_lookup(type, name)) {
        PyObject** dict = compat::dict_ptr(obj);
        if (dict && *dict) {
            PyObject* value = PyDict_GetItemWithError(*dict, name);
            if (value) {
                return OwnedRef::owning(value);
            }
            if (PyErr_Occurred()) {
                return {};
            }
        }
    }
    return OwnedRef::consuming(PyObject_GetAttr(obj, name));
}

}  // namespace lacet
