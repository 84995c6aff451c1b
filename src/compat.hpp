// Every CPython interface the package uses that is not part of the public,
// documented C API, and every difference between the interpreter versions
// it builds for (3.12, 3.13, 3.14 and 3.15). The rest of the code calls
// these wrappers, never the underscored functions themselves, so that a new
// interpreter version means a change here only.
//
// Where each private or unstable interface is declared, per version
// ("header": by Python.h; "exported": only exported, declared below;
// "public": replaced by its public form, named further down):
//
//                                       3.12     3.13      3.14      3.15
//   _PyObject_GetMethod                 header   exported  exported  exported
//   _PyType_Lookup                      header   header    header    header
//   _PyObject_GetDictPtr                header   header    header    header
//   _PyDict_Pop                         header   public    public    public
//   _PyObject_{Visit,Clear}ManagedDict  header   public    public    public
//   PyUnstable_Type_AssignVersionTag    header   header    header    header
//   tp_version_tag (read)               header   header    header    header
//   PyUnstable_Long_IsCompact/...Value  header   header    header    header
//   tp_call, tp_new, tp_init (read)     header   header    header    header
//   tp_vectorcall (read)                header   header    header    header
//   PyMemberDescrObject                 header   header    header    header
//   PyDescr_NewWrapper, wrapperbase     header   header    header    header
//   PyCode_NewEmpty, PyFrame_New        header   header    header    header
//
//   _PyObject_GetMethod     method lookup without creating a bound method,
//                           as the interpreter's own method calls do; the
//                           hooks call host methods for every memory, and
//                           the bound method would cost an allocation each.
//                           3.13 moved the declaration to an internal header
//                           but still exports the function; there is no
//                           public equivalent that hands back the unbound
//                           callable. Calls that keep no per-site cache use
//                           the public PyObject_VectorcallMethod instead.
//   _PyType_Lookup          the attribute on the type's MRO without running
//                           descriptors, to read __slots__ members and the
//                           instance dictionary directly.
//   _PyObject_GetDictPtr    the instance dictionary of an object whose type
//                           manages it (created on first request).
//   _PyDict_Pop             dict.pop(key, default) on an exact dict without
//                           a method call; public as PyDict_Pop in 3.13.
//   _PyObject_VisitManagedDict / _PyObject_ClearManagedDict
//                           GC support for LacetExtension, whose instance
//                           dictionary the interpreter manages; public as
//                           PyObject_VisitManagedDict / PyObject_ClearManagedDict
//                           in 3.13.
//   PyUnstable_Type_AssignVersionTag, tp_version_tag
//                           keys the per-site attribute caches
//                           (attributes.hpp); tells whether what the package
//                           has confirmed about a host class (class_call.cpp)
//                           still holds, and whether LacetIngestResult is
//                           still the class the module built (no attribute
//                           of it rebound), so that ingest results can be
//                           built without running the dataclass __init__.
//                           How a tag is checked on each version: see
//                           has_version_tag.
//   PyUnstable_Long_IsCompact / PyUnstable_Long_CompactValue
//                           compare small exact ints (edge ids, caps) without
//                           the generic rich comparison.
//   tp_call, tp_new, tp_init, tp_vectorcall of a class
//                           confirm that calling a host class means
//                           type.__call__, object.__new__ and a Python
//                           __init__, so that the package can take those
//                           two steps itself and pass the keywords by
//                           vectorcall instead of through a kwargs dict (the
//                           interpreter's own specialised class call does
//                           the same from 3.13 on).
//
// Not underscored and the same on every version, but undocumented, CPython
// only, and so used directly where needed:
//   PyMemberDescrObject, PyMemberDef offsets   read __slots__ members
//                           without the descriptor call (attributes.hpp).
//   PyDescr_NewWrapper, struct wrapperbase    LacetExtension.__init__ as a
//                           slot wrapper with a text signature
//                           (extension_type.cpp).
//   PyCode_NewEmpty, PyFrame_New   a traceback entry that names the
//                           package function a host error passed through
//                           (error_context.cpp).
//
// Public on every version, and so in neither list: the dict watcher that
// keeps the former module's globals cached (globals.cpp; until 3.13 the
// cache read PyDictObject.ma_version_tag, which 3.14 removed).
#pragma once

// The version is checked before anything else is read from the headers, so
// that an interpreter the code does not know stops the build with this
// message rather than with an error deep inside them.
#include <patchlevel.h>
#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x03100000
#error "vantor_lacet builds for CPython 3.12, 3.13, 3.14 and 3.15 only"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX >= 0x030D0000
// Declared in the internal headers from 3.13 on, exported as before.
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

namespace lacet::compat {

// Stores a new reference to `obj.name` in `*method` (nullptr with an error
// set on failure). Returns 1 when that is a function found on the type,
// to be called with `obj` as its first argument, 0 when it is the
// attribute itself.
inline int get_method(PyObject* obj, PyObject* name, PyObject** method)
{
    return _PyObject_GetMethod(obj, name, method);
}

// Borrowed reference or nullptr; never sets an error.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name)
{
    return _PyType_Lookup(type, name);
}

inline PyObject** dict_ptr(PyObject* obj)
{
    return _PyObject_GetDictPtr(obj);
}

// New reference to the removed value, or to `default_value` when the key
// is absent; nullptr with an error set on failure.
inline PyObject* dict_pop(PyObject* dict, PyObject* key, PyObject* default_value)
{
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* result = nullptr;
    int found = PyDict_Pop(dict, key, &result);
    if (found < 0) return nullptr;
    return found ? result : Py_NewRef(default_value);
#else
    return _PyDict_Pop(dict, key, default_value);
#endif
}

inline int visit_managed_dict(PyObject* obj, visitproc visit, void* arg)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_VisitManagedDict(obj, visit, arg);
#else
    return _PyObject_VisitManagedDict(obj, visit, arg);
#endif
}

inline void clear_managed_dict(PyObject* obj)
{
#if PY_VERSION_HEX >= 0x030D0000
    PyObject_ClearManagedDict(obj);
#else
    _PyObject_ClearManagedDict(obj);
#endif
}

// A version tag for `type` that changes whenever the type or one of its
// bases is modified; 0 when the interpreter cannot give one (it limits how
// often a type is re-tagged), in which case the caller takes the slow path.
inline unsigned int assign_version_tag(PyTypeObject* type)
{
    return PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
}

// True while `type` still carries the tag `tag` handed out above. Every
// version sets a type's tp_version_tag to 0 when the type or one of its
// bases changes, and hands no tag out twice within an interpreter, so an
// equal, non-zero tag means an unchanged type: the check CPython's own
// specialised attribute loads make.
//
// 3.12 also cleared Py_TPFLAGS_VALID_VERSION_TAG; 3.13 stopped maintaining
// that flag ("Unused. Legacy flag"), so a check of the flag fails on every
// type from 3.13 on and would turn every cache off. A type watcher (public
// since 3.12) is the other way to learn of a change, but each host class
// would have to be watched, in each interpreter, from a small per-process
// pool of watchers, for what the tag already says.
inline bool has_version_tag(PyTypeObject* type, unsigned int tag)
{
    return tag != 0 && type->tp_version_tag == tag;
}

// The value of an exact int small enough to be stored in one digit (nearly
// every count, cap and edge id): true with `*value` set, false otherwise.
inline bool compact_int(PyObject* exact_int, Py_ssize_t* value)
{
    auto* number = reinterpret_cast<PyLongObject*>(exact_int);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    *value = PyUnstable_Long_CompactValue(number);
    return true;
}

// True when calling `cls` runs type.__call__: its metaclass does not
// override __call__ and the class has no vectorcall of its own (from 3.14
// on, a heap type built in C may set one).
inline bool called_by_type_call(PyObject* cls)
{
    return PyType_Check(cls) && Py_TYPE(cls)->tp_call == PyType_Type.tp_call &&
           reinterpret_cast<PyTypeObject*>(cls)->tp_vectorcall == nullptr;
}

// True when `type` creates its instances with object.__new__ and
// initialises them with `python_init`, the tp_init that runs a Python
// __init__ (taken from a class known to have one).
inline bool object_new_and_python_init(PyTypeObject* type, initproc python_init)
{
    return type->tp_new == PyBaseObject_Type.tp_new && type->tp_init == python_init;
}

// The error of `a, b, ... = item` (`expected` names) when `item` has more
// values. From 3.14 on, the interpreter gives the length of an exact list,
// tuple or dict in the message.
inline void too_many_to_unpack(PyObject* item, int expected)
{
    constexpr bool tells_length = PY_VERSION_HEX >= 0x030E0000;
    bool sized = PyList_CheckExact(item) || PyTuple_CheckExact(item) || PyDict_CheckExact(item);
    if (tells_length && sized) {
        Py_ssize_t length = PyDict_CheckExact(item) ? PyDict_GET_SIZE(item) : Py_SIZE(item);
        if (length > expected) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d, got %zd)",
                         expected, length);
            return;
        }
    }
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", expected);
}

// The argument count of a METH_METHOD function as PyCMethod declares it:
// size_t up to 3.13, Py_ssize_t from 3.14 on. Read from the declaration
// itself, so that the method table matches whichever the headers give.
template <typename Function>
struct CountParameter;
template <typename R, typename Self, typename Cls, typename Args, typename Count,
          typename Kwnames>
struct CountParameter<R (*)(Self, Cls, Args, Count, Kwnames)> {
    using type = Count;
};
using cmethod_count = CountParameter<PyCMethod>::type;

}  // namespace lacet::compat

// The module slot that tells a free-threaded interpreter (3.13 on) that the
// package relies on the GIL: the caches in the module state are read and
// refilled without locks, so such an interpreter keeps the GIL enabled while
// the package is loaded. Before 3.13 there is no such slot.
#if PY_VERSION_HEX >= 0x030D0000
#define LACET_MOD_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define LACET_MOD_GIL_SLOT
#endif
