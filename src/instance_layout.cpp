// The layout check of the direct instance attribute reads (compat.hpp):
// objects of classes made here, read through an attribute site and through
// PyObject_GetAttr, in each state an instance dict can be in: inline values,
// another insertion order, a deleted attribute, a dict made from the
// values, written through, turned into a combined table and replaced, and
// a dict at a fixed offset. The reads stay on only when every read agrees
// and the states that must be read directly were. A layout that differs
// from what compat.hpp mirrors then costs speed, never a wrong value.
#include "instance_layout.hpp"

#include "attributes.hpp"

#include <cstdlib>

namespace lacet {

namespace {

// 1 when reading `site` on `obj` gives what the generic path gives (the
// same object, or both AttributeError) and, where `direct`, was answered by
// the direct read; 0 when not; -1 with an exception set on another error.
int agrees(PyObject* obj, AttrSite& site, bool direct)
{
    std::uint64_t hits = site.dict_counts.hits;
    OwnedRef read = getattr(obj, site);
    if (!read && !PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    OwnedRef generic = OwnedRef::consuming(PyObject_GetAttr(obj, site.name));
    if (!generic && !PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    if (read.get() != generic.get()) return 0;
    return !direct || site.dict_counts.hits == hits + 1;
}

OwnedRef make_class(const char* name, PyObject* base)
{
    OwnedRef ns = OwnedRef::consuming(PyDict_New());
    if (!ns) return {};
    return OwnedRef::consuming(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type),
                                                     "s(O)O", name, base, ns.get()));
}

int set(PyObject* obj, PyObject* name, long value)
{
    OwnedRef number = OwnedRef::consuming(PyLong_FromLong(value));
    if (!number) return -1;
    return PyObject_SetAttr(obj, name, number.get());
}

struct Names {
    OwnedRef first, second, third;
};

// Every read of the three names on `obj` agrees, and those in `present`
// (a bit per name) are read directly. 1, 0 or -1 as agrees().
int all_agree(PyObject* obj, AttrSite (&sites)[3], unsigned present)
{
    for (unsigned i = 0; i < 3; ++i) {
        int same = agrees(obj, sites[i], (present >> i) & 1);
        if (same <= 0) return same;
    }
    return 1;
}

// The states in turn; 1 when every read agreed, 0 at the first that did not.
int run_checks(const Names& names)
{
    OwnedRef plain = make_class("layout_check", reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    if (!plain) return -1;
    AttrSite sites[3] = {};
    PyObject* name_of[3] = {names.first.get(), names.second.get(), names.third.get()};
    for (int i = 0; i < 3; ++i) sites[i].name = name_of[i];

    OwnedRef a = OwnedRef::consuming(PyObject_CallNoArgs(plain.get()));
    if (!a) return -1;
    for (int i = 0; i < 3; ++i) {
        if (set(a.get(), name_of[i], 1001 + i) < 0) return -1;
    }
    int ok = all_agree(a.get(), sites, 0b111);  // inline values
    if (ok <= 0) return ok;

    OwnedRef b = OwnedRef::consuming(PyObject_CallNoArgs(plain.get()));
    if (!b) return -1;
    if (set(b.get(), name_of[2], 2003) < 0 || set(b.get(), name_of[0], 2001) < 0) return -1;
    if ((ok = all_agree(b.get(), sites, 0b101)) <= 0) return ok;  // another order, one unset

    if (PyObject_DelAttr(a.get(), name_of[1]) < 0) return -1;
    if ((ok = all_agree(a.get(), sites, 0b101)) <= 0) return ok;  // a deleted attribute
    if (set(a.get(), name_of[1], 1005) < 0) return -1;           // and added again
    if ((ok = all_agree(a.get(), sites, 0b111)) <= 0) return ok;

    OwnedRef dict = OwnedRef::consuming(PyObject_GenericGetDict(a.get(), nullptr));
    if (!dict) return -1;
    if ((ok = all_agree(a.get(), sites, 0b111)) <= 0) return ok;  // a dict made from them
    OwnedRef value = OwnedRef::consuming(PyLong_FromLong(1006));
    if (!value || PyDict_SetItem(dict.get(), name_of[0], value.get()) < 0) return -1;
    if ((ok = all_agree(a.get(), sites, 0b111)) <= 0) return ok;  // written through it
    // A key that is not a string: the dict keeps its own combined table.
    if (PyDict_SetItem(dict.get(), value.get(), value.get()) < 0) return -1;
    if ((ok = all_agree(a.get(), sites, 0b111)) <= 0) return ok;

    OwnedRef other = OwnedRef::consuming(PyDict_New());
    if (!other || PyDict_SetItem(other.get(), name_of[2], value.get()) < 0) return -1;
    if (PyObject_GenericSetDict(a.get(), other.get(), nullptr) < 0) return -1;
    if ((ok = all_agree(a.get(), sites, 0b100)) <= 0) return ok;  // a dict put in its place

    // A class whose base keeps the dict at a fixed offset.
    OwnedRef fixed = make_class("layout_check_offset", PyExc_Exception);
    if (!fixed) return -1;
    AttrSite offset_sites[3] = {};
    for (int i = 0; i < 3; ++i) offset_sites[i].name = name_of[i];
    OwnedRef c = OwnedRef::consuming(PyObject_CallNoArgs(fixed.get()));
    if (!c) return -1;
    if (set(c.get(), name_of[0], 3001) < 0 || set(c.get(), name_of[2], 3003) < 0) return -1;
    return all_agree(c.get(), offset_sites, 0b101);
}

}  // namespace

int check_instance_layout()
{
    using compat::LayoutState;
    LayoutState expected = LayoutState::unchecked;
    if (!compat::instance_layout_state.compare_exchange_strong(expected, LayoutState::checking)) {
        return 0;  // checked, or being checked in another interpreter (off until then)
    }
    const char* off = std::getenv("VANTOR_LACET_GENERIC_ATTRIBUTES");
    if (!compat::instance_layout_compiled || (off && *off)) {
        compat::instance_layout_state.store(LayoutState::off);
        return 0;
    }
    Names names{OwnedRef::consuming(PyUnicode_InternFromString("layout_first")),
                OwnedRef::consuming(PyUnicode_InternFromString("layout_second")),
                OwnedRef::consuming(PyUnicode_InternFromString("layout_third"))};
    int ok = -1;
    if (names.first && names.second && names.third) {
        compat::instance_layout_checking = true;
        ok = run_checks(names);
        compat::instance_layout_checking = false;
    }
    // An object that could not be made leaves the question open for the
    // next import.
    compat::instance_layout_state.store(ok > 0    ? LayoutState::on
                                        : ok == 0 ? LayoutState::off
                                                  : LayoutState::unchecked);
    return ok < 0 ? -1 : 0;
}

}  // namespace lacet
