#include "error_context.hpp"

#include <frameobject.h>

#include <cstring>

namespace lacet {

namespace {

struct EntryName {
    const char* file;
    const char* function;
    int line;
};

// There is no source file behind these entries. The file names the module
// each function belongs to, and the line is the function's place among the
// members of its class (of its module for build_extension), so each entry is
// distinct and stays the same from release to release.
constexpr EntryName entry_names[] = {
    {"vantor_lacet/former", "__init__", 1},
    {"vantor_lacet/former", "config", 2},
    {"vantor_lacet/former", "on_ingest", 3},
    {"vantor_lacet/former", "on_ingest_batch", 4},
    {"vantor_lacet/former", "on_forget", 5},
    {"vantor_lacet/former", "retrieval_context", 6},
    {"vantor_lacet/former", "_are_connected", 7},
    {"vantor_lacet/former", "_enforce_cap", 8},
    {"vantor_lacet/__init__", "build_extension", 1},
};

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
    const EntryName& name = entry_names[static_cast<int>(member)];
    PyObject* raised = PyErr_GetRaisedException();
    // The code object and frame are made while no exception is set, as the
    // frame constructor requires. They exist only to be named by the entry:
    // PyFrame_New gives the frame the code's first line as its line number.
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(name.file, name.function, name.line));
    PyFrameObject* frame =
        code ? PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr)
             : nullptr;
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
    if (raised && PyErr_GivenExceptionMatches(raised, PyExc_ImportError) && names_host_module(raised)) {
        OwnedRef added = OwnedRef::consuming(PyObject_CallMethod(raised, "add_note", "s", missing_host_note));
        if (!added) {
            // The import error itself is what the importer must see.
            PyErr_Clear();
        }
    }
    PyErr_SetRaisedException(raised);
}

}  // namespace lacet
