#include "error_context.hpp"

#include <frameobject.h>

#include <cstddef>
#include <cstring>
#include <iterator>

namespace lacet {

namespace {

// There is no source file behind these entries. The file names the module
// each function belongs to, and the line is the function's place among the
// members of its class (1 for build_extension, the package module's one
// function), so each entry is distinct and stays the same from release to
// release. Listed in the order of Member.
constexpr const char* member_names[] = {
    "__init__",          "config",         "on_ingest",    "on_ingest_batch", "on_forget",
    "retrieval_context", "_are_connected", "_enforce_cap", "build_extension",
};
static_assert(std::size(member_names) == static_cast<std::size_t>(Member::build_extension) + 1);

constexpr const char missing_host_note[] =
    "vantor_lacet needs the host package that provides the module vantor.core.edge "
    "(MemoryEdge, RelationshipMetadata, RelationshipType, WeightMetadata, "
    "share_edge_fields_set); the vantor_lacet README says how to provide one under "
    "\"What a host must provide\", and docs/host-contract.md in full.";

bool names_host_module(PyObject* error)
{
    OwnedRef name = OwnedRef::consuming(PyObject_GetAttrString(error, "name"));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(name.get())) return false;
    const char* text = PyUnicode_AsUTF8(name.get());
    if (!text) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(text, "vantor") == 0 || std::strncmp(text, "vantor.", 7) == 0;
}

}  // namespace

void add_traceback_entry(PyObject* globals, Member member)
{
    auto position = static_cast<int>(member);
    bool in_package = member == Member::build_extension;
    const char* file = in_package ? "vantor_lacet/__init__" : "vantor_lacet/former";
    int line = in_package ? 1 : position + 1;
    PyObject* raised = PyErr_GetRaisedException();
    // The code object and frame are made while no exception is set, as the
    // frame constructor requires. They exist only to be named by the entry:
    // PyFrame_New gives the frame the code's first line as its line number.
    PyCodeObject* code = PyCode_NewEmpty(file, member_names[position], line);
    PyFrameObject* frame =
        code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(code);
    if (!frame) {
        // Out of memory while decorating: the exception that is being
        // raised matters more than its traceback entry.
        PyErr_Clear();
    }
    PyErr_SetRaisedException(raised);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

void note_missing_host()
{
    PyObject* raised = PyErr_GetRaisedException();
    if (raised && PyErr_GivenExceptionMatches(raised, PyExc_ImportError) &&
        names_host_module(raised)) {
        OwnedRef added =
            OwnedRef::consuming(PyObject_CallMethod(raised, "add_note", "s", missing_host_note));
        if (!added) {
            // The import error itself is what the importer must see.
            PyErr_Clear();
        }
    }
    PyErr_SetRaisedException(raised);
}

}  // namespace lacet
