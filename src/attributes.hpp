// Attribute reads with the semantics of `obj.name`, doing the work the
// interpreter's specialised attribute loads do rather than the fully
// generic path.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

#include <structmember.h>

#include <cstdint>

namespace lacet {

// How often a cache was found valid (hits) and how often it had to learn
// afresh (misses). A cache that stops hitting changes no result, only the
// speed, so the tests and the benchmarks read these counts (the package's
// private _cache_counts()) to see that each cache serves.
struct CacheCounts {
    std::uint64_t hits;
    std::uint64_t misses;
};

// The object a __slots__ member at `offset` holds (borrowed), or null when
// the slot is empty.
inline PyObject* slot_value(PyObject* obj, Py_ssize_t offset) noexcept
{
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// `dict[key]` into `value`, with the contract of PyDict_GetItemRef: 1 when
// found, 0 when missing (`value` empty), -1 with an exception set when the
// lookup failed.
inline int dict_lookup(PyObject* dict, PyObject* key, OwnedRef& value)
{
    PyObject* found = PyDict_GetItemWithError(dict, key);  // borrowed, owned at once
    value = OwnedRef::owning(found);
    if (found) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

// The same in the instance dict of `obj`; 0 when it has none yet.
inline int instance_dict_lookup(PyObject* obj, PyObject* name, OwnedRef& value)
{
    PyObject** dict = compat::dict_ptr(obj);
    if (!dict || !*dict) return 0;
    return dict_lookup(*dict, name, value);
}

inline int setattr(PyObject* obj, PyObject* name, PyObject* value)
{
    return PyObject_SetAttr(obj, name, value);
}

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
                PyObject* value = slot_value(obj, member->offset);
                if (value) return OwnedRef::owning(value);
            }
        }
    }
    return OwnedRef::consuming(PyObject_GetAttr(obj, name));
}

// ---- per-call-site caches ----------------------------------------------
//
// What one place in the code has learned about `name` on the type of the
// objects it reads, valid while that type keeps the version tag it had
// then: any change to the class or its bases (a property replacing a slot,
// a new method, __getattribute__ assigned) gives it a new tag, and the next
// read learns afresh. Whatever was not learned takes the generic path.
struct AttrSite {
    enum class Kind : unsigned char {
        generic,        // nothing to read directly (or nothing learned): the
                        // generic path
        slot,           // a __slots__ member: read at `offset`
        inline_values,  // instance_dict, where the class's shared keys held
                        // the name when learned: read first at its index
        dict_at_offset, // instance_dict, where the instances point to their
                        // dict: read first at the entry last found
        instance_dict,  // the class defines nothing: the instance dict answers
        type_method,    // a function on the type, to be called with the object
        static_method,  // a static method on the type (`function`), asked for its
                        // callable at each use
        class_value,    // read on a class: a plain value in its MRO (`function`)
    };
    PyObject* name;        // borrowed from the interned names
    unsigned int version;  // the type's tag; 0: nothing learned
    Kind kind;
    Py_ssize_t offset;
    unsigned int meta_version;  // class_value: the tag of the class's metaclass
    PyObject* function;    // type_method, static_method, class_value: borrowed
                           // from the MRO while the tag holds
    CacheCounts counts;
    // instance_dict: where the instances keep the name (read directly
    // through compat::instance_value), how often that answered (hits) and
    // how often it did not and a slower path was taken (misses), and
    // whether the dict may also be looked up through _PyObject_GetDictPtr.
    // type_method, static_method: whether the instances have a dict to look
    // in first, and where they keep it (compat::instance_lacks).
    compat::InstanceDict dict{};
    CacheCounts dict_counts{};
    bool dict_lookup = false;

    // Drops what was learned. The kind goes with the tag: getattr's hit
    // check compares tags alone, so a site at tag 0 is matched by a type
    // without a tag, and must then read nothing directly.
    void forget() noexcept
    {
        version = 0;
        kind = Kind::generic;
    }
};

// Whether `obj` is read as the extension's own instance, whose managed
// instance dict may be created on first use, or as a host object, whose
// layout is left as it is.
enum class Owner : bool { host, extension };

namespace detail {

// A class attribute that is a value of an immutable builtin type (a
// dataclass default, say): it can never become a descriptor, so the
// instance dict always comes first.
inline bool is_plain_value(PyObject* value)
{
    return PyFloat_CheckExact(value) || PyLong_CheckExact(value) || PyUnicode_CheckExact(value) ||
           PyBool_Check(value) || value == Py_None || PyTuple_CheckExact(value);
}

inline bool has_unmanaged_dict(PyTypeObject* type)
{
    return !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) && type->tp_dictoffset != 0;
}

// The kind of an instance_dict site: one with a hit path of its own where
// the layout learned has one.
inline AttrSite::Kind instance_dict_kind(const compat::InstanceDict& dict)
{
    using At = compat::InstanceDict::At;
    if (dict.at == At::managed && dict.keys && dict.index >= 0) {
        return AttrSite::Kind::inline_values;
    }
    if (dict.at == At::offset) return AttrSite::Kind::dict_at_offset;
    return AttrSite::Kind::instance_dict;
}

// Fills `site` for `type`; what cannot be read directly is learned as
// `generic`, so that the next read does not look again. Leaves the site
// empty (version 0) when the type has no version tag to key it on. Out of
// line: it runs once per class change, and inlined at every read it would
// crowd out the reads themselves.
[[gnu::cold, gnu::noinline]] inline void learn(PyTypeObject* type, AttrSite& site, Owner owner)
{
    site.forget();
    AttrSite learned{site.name, 0, AttrSite::Kind::generic, 0, 0, nullptr, site.counts,
                     {}, site.dict_counts, false};
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        bool dict_readable = owner == Owner::extension || has_unmanaged_dict(type);
        bool no_dict =
            !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) && type->tp_dictoffset == 0;
        PyObject* descr = compat::type_lookup(type, site.name);
        if (!descr || is_plain_value(descr)) {
            // Nothing, or a plain value (a dataclass default): the instance
            // dict answers first; when it does not, the generic path finds
            // the value. A host's managed dict is read only where the
            // interpreter keeps it (never created here).
            compat::learn_instance_dict(type, site.name, learned.dict);
            if (dict_readable || learned.dict.at != compat::InstanceDict::At::none) {
                learned.kind = instance_dict_kind(learned.dict);
                learned.dict_lookup = dict_readable;
            }
        }
        else if (Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
            PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
            if (member->type == Py_T_OBJECT_EX && !(member->flags & Py_AUDIT_READ) &&
                PyType_IsSubtype(type, PyDescr_TYPE(descr))) {
                learned.kind = AttrSite::Kind::slot;
                learned.offset = member->offset;
            }
        }
        else if (PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR) &&
                 (no_dict || owner == Owner::extension)) {
            learned.kind = AttrSite::Kind::type_method;
            learned.function = descr;
        }
        else if (Py_IS_TYPE(descr, &PyStaticMethod_Type) &&
                 (no_dict || owner == Owner::extension)) {
            // The static method itself is kept, not the callable it gives:
            // staticmethod.__init__ can give it another one in place, which
            // changes no version tag.
            learned.kind = AttrSite::Kind::static_method;
            learned.function = descr;
        }
        if (learned.kind == AttrSite::Kind::type_method ||
            learned.kind == AttrSite::Kind::static_method) {
            // The instance dict comes first where there is one: the
            // extension's, whose shared keys may tell that it lacks the name.
            learned.dict_lookup = !no_dict;
            if (!no_dict) compat::learn_instance_dict(type, site.name, learned.dict);
        }
    }
    learned.version = compat::assign_version_tag(type);
    // Without a tag the site is matched by no tagged type and, by an
    // untagged one, only as generic.
    if (!learned.version) learned.kind = AttrSite::Kind::generic;
    site = learned;
}

// The site as it applies to `obj` now: learned afresh when the type or
// its tag is not the one it was learned for. False when nothing applies.
inline bool applies(PyObject* obj, AttrSite& site, Owner owner)
{
    PyTypeObject* type = Py_TYPE(obj);
    if (compat::has_version_tag(type, site.version)) {
        ++site.counts.hits;
        return true;
    }
    ++site.counts.misses;
    learn(type, site, owner);
    return site.version != 0;
}

// The instance-dict case of getattr below: the value where the interpreter
// keeps it, else (where allowed) a lookup in the instance dict, else the
// generic path. Out of line, so that the slot case stays a few instructions
// at every read.
[[gnu::noinline]] inline OwnedRef dict_attr(PyObject* obj, AttrSite& site)
{
    PyObject* found = compat::instance_value(obj, site.name, site.dict);
    // The name may have joined the class's shared keys since the site
    // learned: from now on the inline values are read first.
    if (site.kind == AttrSite::Kind::instance_dict) site.kind = instance_dict_kind(site.dict);
    if (found) {
        ++site.dict_counts.hits;
        return OwnedRef::owning(found);
    }
    if (site.dict.at != compat::InstanceDict::At::none) ++site.dict_counts.misses;
    OwnedRef value;
    if (site.dict_lookup && instance_dict_lookup(obj, site.name, value) != 0) return value;
    return OwnedRef::consuming(PyObject_GetAttr(obj, site.name));
}

}  // namespace detail

OwnedRef getattr(PyObject* obj, AttrSite& site, Owner owner);

namespace detail {

// A read whose site does not apply to the type of `obj`: learned afresh,
// then read.
[[gnu::cold, gnu::noinline]] inline OwnedRef learn_and_getattr(PyObject* obj, AttrSite& site,
                                                               Owner owner)
{
    ++site.counts.misses;
    learn(Py_TYPE(obj), site, owner);
    if (compat::has_version_tag(Py_TYPE(obj), site.version)) return getattr(obj, site, owner);
    return OwnedRef::consuming(PyObject_GetAttr(obj, site.name));
}

}  // namespace detail

// `obj.name` through a call-site cache. `owner` says whether the instance
// dict of `obj` may be read (and, for a managed dict, created) directly.
// The hit path of each kind is here, in line; what it does not answer goes
// out of line. A site that learned nothing has version 0 and the generic
// kind, which an untagged type (tag 0) then matches.
inline OwnedRef getattr(PyObject* obj, AttrSite& site, Owner owner = Owner::host)
{
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_version_tag != site.version) return detail::learn_and_getattr(obj, site, owner);
    ++site.counts.hits;
    // Tested in turn, the commonest first: fewer instructions than a jump
    // table for the kinds read most.
    PyObject* value = nullptr;
    AttrSite::Kind kind = site.kind;
    if (kind == AttrSite::Kind::slot) {
        value = slot_value(obj, site.offset);
    }
    else if (kind == AttrSite::Kind::inline_values) {
        value = compat::inline_value(obj, type, site.dict);
        if (!value) return detail::dict_attr(obj, site);
        ++site.dict_counts.hits;
    }
    else if (kind == AttrSite::Kind::dict_at_offset) {
        value = compat::hinted_dict_value(obj, site.name, site.dict);
        if (!value) return detail::dict_attr(obj, site);
        ++site.dict_counts.hits;
    }
    else if (kind == AttrSite::Kind::instance_dict) {
        return detail::dict_attr(obj, site);
    }
    if (value) return OwnedRef::owning(value);
    // An empty slot, a name missing from the dict, or anything not learned:
    // the generic path gives the value or the usual error.
    return OwnedRef::consuming(PyObject_GetAttr(obj, site.name));
}

// `cls.name` for a class whose metaclass reads attributes as `type` does,
// where the metaclass defines nothing under `name` and the class holds a
// value that no descriptor protocol applies to: an immutable builtin value,
// or an instance of the class itself (an enum member), which the class's own
// tag covers. Valid while neither the class nor its metaclass changes.
inline OwnedRef class_attr(PyObject* cls, AttrSite& site)
{
    if (PyType_Check(cls) && Py_TYPE(cls)->tp_getattro == PyType_Type.tp_getattro) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        PyTypeObject* meta = Py_TYPE(cls);
        if (compat::has_version_tag(type, site.version) &&
            compat::has_version_tag(meta, site.meta_version)) {
            ++site.counts.hits;
            return OwnedRef::owning(site.function);
        }
        ++site.counts.misses;
        site.forget();
        PyObject* value = compat::type_lookup(type, site.name);
        if (value && !compat::type_lookup(meta, site.name) &&
            (detail::is_plain_value(value) ||
             (Py_TYPE(value) == type && !type->tp_descr_get))) {
            unsigned int meta_version = compat::assign_version_tag(meta);
            unsigned int version = compat::assign_version_tag(type);
            if (meta_version && version) {
                site = {site.name, version,     AttrSite::Kind::class_value, 0, meta_version,
                        value,     site.counts, {},  site.dict_counts,           false};
            }
        }
    }
    return OwnedRef::consuming(PyObject_GetAttr(cls, site.name));
}

// `obj.first.second`: one expression, one failure check for its caller.
inline OwnedRef getattr_path(PyObject* obj, AttrSite& first, AttrSite& second)
{
    OwnedRef middle = getattr(obj, first);
    return middle ? getattr(middle.get(), second) : OwnedRef();
}

// `self.name` for the extension's own state, kept in its instance dict.
inline OwnedRef instance_attr(PyObject* self, AttrSite& site)
{
    return getattr(self, site, Owner::extension);
}

}  // namespace lacet
