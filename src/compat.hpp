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
//   _PyObject_SetManagedDict            -        header    -         -
//   tp_version_tag (read)               header   header    header    header
//   PyUnstable_Long_IsCompact/...Value  header   header    header    header
//   tp_call, tp_new, tp_init (read)     header   header    header    header
//   tp_vectorcall (read)                header   header    header    header
//   PyMemberDescrObject                 header   header    header    header
//   PyDescr_NewWrapper, wrapperbase     header   header    header    header
//   PyCode_NewEmpty, PyFrame_New        header   header    header    header
//   PyDictKeysObject, PyDictValues,     mirrored mirrored  mirrored  mirrored
//     managed dict word, inline values  (see "instance attributes" below)
//   ht_cached_keys, ma_keys, ma_values  header   header    header    header
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
//   _PyObject_SetManagedDict
//                           `ext.__dict__ = d` on 3.13, where the public
//                           PyObject_GenericSetDict leaves the instance's
//                           inline values marked valid (see
//                           set_managed_dict).
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

#include <atomic>
#include <cstddef>
#include <cstdint>

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

// `obj.__dict__ = value` for an object whose type manages its dict. On
// 3.13, PyObject_GenericSetDict puts the new dict in place but leaves the
// instance's inline values marked valid, and the interpreter's own reads
// (like the direct reads here) go on answering from the old attributes;
// _PyObject_SetManagedDict, which the interpreter's classes use for their
// __dict__, marks them invalid. 3.14 and 3.15 do that in
// PyObject_GenericSetDict itself.
inline int set_managed_dict(PyObject* obj, PyObject* value, void* context)
{
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
    if (value && PyDict_Check(value)) return _PyObject_SetManagedDict(obj, value);
#endif
    // The errors (a deletion, not a dict) as the generic setter gives them.
    return PyObject_GenericSetDict(obj, value, context);
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

// ---- instance attributes read where the interpreter keeps them ---------
//
// Most host classes keep their instances' attributes in the instance dict,
// which CPython stores in a form of its own: a class has one table of
// attribute names shared by all its instances (the "shared keys"), and each
// instance keeps only an array of values in that table's order, next to
// the object ("inline values"), until something needs a real dict. The
// interpreter's specialised attribute loads (LOAD_ATTR_INSTANCE_VALUE and
// LOAD_ATTR_WITH_HINT in Python/bytecodes.c) read a value at a known index
// there; the reads below do the same, and answer nothing (the caller takes
// the generic path) whenever what they find is not what they expect. The
// structures are private and the internal headers of 3.12 do not compile
// as C++, so their layouts are written out here, one block per version,
// each field with where CPython declares it. A layout check at module
// initialisation (instance_layout.cpp) compares these reads with the
// generic path and leaves them off for the process when they disagree.
// Never on a free-threaded build, where the interpreter reads these
// structures under per-object locks.

#if defined(Py_GIL_DISABLED)
inline constexpr bool instance_layout_compiled = false;
#else
inline constexpr bool instance_layout_compiled = true;
#endif

// Set once per process by the layout check (instance_layout.cpp), which
// may run in any of the process's interpreters, each with a GIL of its
// own: the reads below are learned only once it says `on`, or in the
// thread running the check, for the check's own reads.
enum class LayoutState : int { unchecked, checking, on, off };
inline std::atomic<LayoutState> instance_layout_state{LayoutState::unchecked};
inline thread_local bool instance_layout_checking = false;

inline bool instance_layout_enabled()
{
    return instance_layout_state.load(std::memory_order_acquire) == LayoutState::on ||
           instance_layout_checking;
}

namespace layout {

// PyDictKeysObject, up to its hash table: `struct _dictkeysobject`,
// Include/internal/pycore_dict.h, the same fields in 3.12, 3.13, 3.14 and
// 3.15 (a dk_mutex after dk_kind on free-threaded builds only, which never
// take these reads).
struct DictKeys {
    Py_ssize_t dk_refcnt;
    std::uint8_t dk_log2_size;
    std::uint8_t dk_log2_index_bytes;  // the hash table takes 1 << this bytes
    std::uint8_t dk_kind;              // DictKind
    std::uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;  // entries in use, deleted ones included
    // char dk_indices[]: the hash table, then the entries (DK_ENTRIES).
};

// DictKeysKind, Include/internal/pycore_dict.h (3.12 to 3.15).
enum DictKind : std::uint8_t { keys_general = 0, keys_unicode = 1, keys_split = 2 };

// PyDictKeyEntry and PyDictUnicodeEntry, Include/internal/pycore_dict.h
// (3.12 to 3.15): the entries of a general table carry the key's hash.
struct KeyEntry {
    Py_hash_t me_hash;
    PyObject* me_key;
    PyObject* me_value;
};
struct UnicodeEntry {
    PyObject* me_key;
    PyObject* me_value;  // null in a split table: the values are elsewhere
};

// The entries: _DK_ENTRIES, Include/internal/pycore_dict.h (3.12 to 3.15),
// right after the hash table.
inline char* entries(DictKeys* keys)
{
    char* indices = reinterpret_cast<char*>(keys) + sizeof(DictKeys);
    return indices + (std::size_t{1} << keys->dk_log2_index_bytes);
}

#if PY_VERSION_HEX >= 0x030D0000
// PyDictValues, `struct _dictvalues`, Include/internal/pycore_dict.h of
// 3.13, 3.14 and 3.15: a header, then the values.
struct DictValues {
    std::uint8_t capacity;  // how many values the array holds
    std::uint8_t size;
    std::uint8_t embedded;  // 1: inline in the object
    std::uint8_t valid;     // 0: the object's dict holds the attributes now
    PyObject* values[1];
};
#else
// PyDictValues, `struct _dictvalues`, Include/internal/pycore_dict.h of
// 3.12: the values alone (the insertion order is kept before them).
struct DictValues {
    PyObject* values[1];
};
#endif

// The word before the object's GC header where a managed dict (or, on
// 3.12, the values) is kept: MANAGED_DICT_OFFSET in
// Include/internal/pycore_object.h of 3.13 to 3.15 (three words before the
// object, with the GIL), `((PyDictOrValues *)obj)-3` in
// _PyObject_DictOrValuesPointer of the same file in 3.12.
inline std::uintptr_t* managed_dict_word(PyObject* obj)
{
    return reinterpret_cast<std::uintptr_t*>(obj) - 3;
}

}  // namespace layout

// What an attribute site knows of where instances of one class keep `name`.
struct InstanceDict {
    enum class At : unsigned char {
        none,     // nothing read directly
        managed,  // the interpreter manages the dict; with `keys`, inline values
        offset,   // a dict pointer at `dict_offset` (tp_dictoffset > 0)
    };
    At at = At::none;
    Py_ssize_t dict_offset = 0;
    // The class's shared keys (ht_cached_keys), compared by identity only;
    // null when the class has none.
    const void* keys = nullptr;
    Py_ssize_t index = -1;        // the name's entry in `keys`; -1: not (yet) there
    Py_ssize_t keys_entries = 0;  // entries `keys` had when `index` was looked for
    Py_ssize_t hint = -1;         // its entry in the last combined dict it was in
};

namespace detail {

inline Py_ssize_t split_index(layout::DictKeys* keys, PyObject* name)
{
    if (keys->dk_kind != layout::keys_split) return -1;
    auto* entry = reinterpret_cast<layout::UnicodeEntry*>(layout::entries(keys));
    Py_ssize_t count = keys->dk_nentries;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (entry[i].me_key == name) return i;
    }
    // The same text in another string object: the entry is the same.
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = entry[i].me_key;
        if (key && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0) return i;
    }
    return -1;
}

// The entry of a combined table whose key is `name` itself, found by a scan
// of the entries (a small table: instance dicts and the package's own);
// -1 when there is none.
inline Py_ssize_t combined_index(layout::DictKeys* keys, PyObject* name)
{
    constexpr Py_ssize_t scan_limit = 64;
    Py_ssize_t count = keys->dk_nentries;
    if (count > scan_limit) return -1;
    char* base = layout::entries(keys);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = keys->dk_kind == layout::keys_general
                            ? reinterpret_cast<layout::KeyEntry*>(base)[i].me_key
                            : reinterpret_cast<layout::UnicodeEntry*>(base)[i].me_key;
        if (key == name) return i;
    }
    return -1;
}

// The value under `name` in the entry `hint` of a combined table when that
// entry's key is `name` itself (LOAD_ATTR_WITH_HINT's check); else null.
inline PyObject* hinted_value(layout::DictKeys* keys, PyObject* name, Py_ssize_t hint)
{
    if (hint < 0 || hint >= keys->dk_nentries) return nullptr;
    char* base = layout::entries(keys);
    if (keys->dk_kind == layout::keys_general) {
        layout::KeyEntry* entry = reinterpret_cast<layout::KeyEntry*>(base) + hint;
        return entry->me_key == name ? entry->me_value : nullptr;
    }
    layout::UnicodeEntry* entry = reinterpret_cast<layout::UnicodeEntry*>(base) + hint;
    return entry->me_key == name ? entry->me_value : nullptr;
}

inline PyObject* shared_value(layout::DictValues* values, const InstanceDict& site)
{
    if (site.index < 0) return nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    if (site.index >= values->capacity) return nullptr;
#endif
    return values->values[site.index];
}

inline void* cached_keys(PyTypeObject* type)
{
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return nullptr;
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
}

}  // namespace detail

// `name`'s value in the dict `dict` (an exact dict, borrowed), read at the
// shared index of `site` (a split table of the class's keys) or at its hint
// (a combined table); null when neither answers.
inline PyObject* dict_value(PyObject* dict, PyObject* name, InstanceDict& site)
{
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    auto* keys = reinterpret_cast<layout::DictKeys*>(d->ma_keys);
    if (d->ma_values) {
        if (site.keys != keys) return nullptr;
        return detail::shared_value(reinterpret_cast<layout::DictValues*>(d->ma_values), site);
    }
    PyObject* value = detail::hinted_value(keys, name, site.hint);
    if (value) return value;
    site.hint = detail::combined_index(keys, name);
    return detail::hinted_value(keys, name, site.hint);
}

// Learns where instances of `type` keep their dict, and `name`'s index in
// the class's shared keys. Leaves `site.at` none when the layout is not one
// the reads know.
inline void learn_instance_dict(PyTypeObject* type, PyObject* name, InstanceDict& site)
{
    site = InstanceDict{};
    if (!instance_layout_compiled || !instance_layout_enabled()) return;
    auto* keys = static_cast<layout::DictKeys*>(detail::cached_keys(type));
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
        site.at = InstanceDict::At::managed;
#if PY_VERSION_HEX >= 0x030D0000
        // Inline values only where the class says its instances have them.
        if (!PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES)) keys = nullptr;
#endif
    }
    else if (type->tp_dictoffset > 0) {
        // A dict the object points to, which shares the class's keys when
        // the interpreter made it for an attribute set.
        site.at = InstanceDict::At::offset;
        site.dict_offset = type->tp_dictoffset;
    }
    else {
        return;
    }
    if (keys && keys->dk_kind == layout::keys_split) {
        site.keys = keys;
        site.index = detail::split_index(keys, name);
        site.keys_entries = keys->dk_nentries;
    }
}

// The hit paths of the reads below, each for one layout a site has learned,
// small enough to be inlined at every read; the caller has checked the
// type's version tag. Null when anything is not as learned: the caller then
// takes instance_value(), which looks at every case.

// The value at the learned index of the inline values of `obj`, whose class
// `type` had the shared keys `site.keys` (non-null) with `name` at
// `site.index` (>= 0) when the site learned: the checks of
// LOAD_ATTR_INSTANCE_VALUE (Python/bytecodes.c), and that the class still
// has those keys.
inline PyObject* inline_value(PyObject* obj, PyTypeObject* type, const InstanceDict& site)
{
    // A heap type: the site learned its keys from it, and the tag says it
    // is the same class.
    if (reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys != site.keys) return nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    auto* values = reinterpret_cast<layout::DictValues*>(reinterpret_cast<char*>(obj) +
                                                         type->tp_basicsize);
    if (values->valid) {
        return site.index < values->capacity ? values->values[site.index] : nullptr;
    }
    auto* dict = reinterpret_cast<PyObject*>(*layout::managed_dict_word(obj));
#else
    std::uintptr_t word = *layout::managed_dict_word(obj);
    if (word & 1) return reinterpret_cast<layout::DictValues*>(word + 1)->values[site.index];
    auto* dict = reinterpret_cast<PyObject*>(word);
#endif
    // A dict of the instance's own that still shares the class's keys (on
    // 3.12, the one vars(obj) makes from the values).
    if (!dict || !PyDict_CheckExact(dict)) return nullptr;
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    if (!d->ma_values || d->ma_keys != site.keys) return nullptr;
    return detail::shared_value(reinterpret_cast<layout::DictValues*>(d->ma_values), site);
}

// The value under `name` in the dict at `site.dict_offset` of `obj`, when
// that dict has a combined table whose entry `site.hint` holds `name`
// itself: LOAD_ATTR_WITH_HINT's checks.
inline PyObject* hinted_dict_value(PyObject* obj, PyObject* name, const InstanceDict& site)
{
    PyObject* dict =
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + site.dict_offset);
    if (!dict || !PyDict_CheckExact(dict)) return nullptr;
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    if (d->ma_values) return nullptr;
    return detail::hinted_value(reinterpret_cast<layout::DictKeys*>(d->ma_keys), name, site.hint);
}

// True when `obj` provably has no instance attribute `name`: its class's
// shared keys lacked the name when the site learned and have gained no
// entry since (they only grow), and the instance's attributes are still
// kept in those keys' layout (inline values, or a dict sharing the keys),
// which holds no name the keys lack. The check of
// LOAD_ATTR_METHOD_WITH_VALUES (Python/bytecodes.c), with the entry count
// in place of the keys' version. False whenever that is not known: the
// caller then looks in the instance dict.
inline bool instance_lacks(PyObject* obj, const InstanceDict& site)
{
    if (site.at != InstanceDict::At::managed || !site.keys || site.index >= 0) return false;
    PyTypeObject* type = Py_TYPE(obj);
    auto* keys = static_cast<const layout::DictKeys*>(site.keys);
    if (detail::cached_keys(type) != site.keys || keys->dk_nentries != site.keys_entries) {
        return false;
    }
#if PY_VERSION_HEX >= 0x030D0000
    if (PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES)) {
        auto* values = reinterpret_cast<layout::DictValues*>(reinterpret_cast<char*>(obj) +
                                                             type->tp_basicsize);
        if (values->valid) return true;
    }
    auto* dict = reinterpret_cast<PyObject*>(*layout::managed_dict_word(obj));
#else
    std::uintptr_t word = *layout::managed_dict_word(obj);
    if (word & 1) return true;
    auto* dict = reinterpret_cast<PyObject*>(word);
#endif
    if (!dict) return true;  // no attributes at all
    if (!PyDict_CheckExact(dict)) return false;
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    return d->ma_values && d->ma_keys == site.keys;
}

// `obj.name` from the instance's own attributes, borrowed, for an object of
// the class `site` was learned on (the caller checks the type's version
// tag); null when the name is not found there or the layout does not answer
// (the caller then takes the generic path).
inline PyObject* instance_value(PyObject* obj, PyObject* name, InstanceDict& site)
{
    if (site.at == InstanceDict::At::none) return nullptr;
    PyTypeObject* type = Py_TYPE(obj);
    if (site.keys) {
        // The class still has the keys the index was found in.
        if (detail::cached_keys(type) != site.keys) return nullptr;
        auto* keys = static_cast<layout::DictKeys*>(const_cast<void*>(site.keys));
        if (site.index < 0 && keys->dk_nentries != site.keys_entries) {
            // Not there when learned: shared keys only grow, so look again
            // when they have.
            site.keys_entries = keys->dk_nentries;
            site.index = detail::split_index(keys, name);
        }
    }
    if (site.at == InstanceDict::At::offset) {
        PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) +
                                                       site.dict_offset);
        if (!dict || !PyDict_CheckExact(dict)) return nullptr;
        return dict_value(dict, name, site);
    }
    std::uintptr_t word = *layout::managed_dict_word(obj);
#if PY_VERSION_HEX >= 0x030D0000
    if (site.keys) {
        // _PyObject_InlineValues, Include/internal/pycore_object.h: right
        // after the object, at tp_basicsize (3.13: sizeof(PyObject), which
        // its basicsize then is). LOAD_ATTR_INSTANCE_VALUE's checks: the
        // values still hold the attributes (`valid`), and the index is
        // within them.
        auto* values = reinterpret_cast<layout::DictValues*>(reinterpret_cast<char*>(obj) +
                                                             type->tp_basicsize);
        if (values->valid) return detail::shared_value(values, site);
    }
    auto* dict = reinterpret_cast<PyObject*>(word);
#else
    // 3.12: the word holds the values, tagged with its lowest bit
    // (_PyDictOrValues_IsValues, stored one byte before them), or the dict.
    if (word & 1) {
        if (!site.keys) return nullptr;
        auto* values = reinterpret_cast<layout::DictValues*>(word + 1);
        return detail::shared_value(values, site);
    }
    auto* dict = reinterpret_cast<PyObject*>(word);
#endif
    if (!dict || !PyDict_CheckExact(dict)) return nullptr;
    return dict_value(dict, name, site);
}

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
