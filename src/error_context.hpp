// What the package adds to an exception so that a reader can act on it:
// a traceback entry naming the package function the exception passed
// through, and a note on an import that failed for want of a host.
#pragma once

#include "ref.hpp"

namespace lacet {

// The package's functions, as a traceback names them.
enum class Member {
    init,
    config,
    on_ingest,
    on_ingest_batch,
    on_forget,
    retrieval_context,
    are_connected,
    enforce_cap,
    build_extension,
};

// Adds an entry for `member` at the head of the traceback of the exception
// being raised, as the frame of a Python function does when an exception
// passes through it or is caught in it. `globals` is the namespace of the
// module the function belongs to. Nothing else about the exception changes;
// should the entry itself fail to be made, the exception is left as it was.
// Call only while an exception is set.
void add_traceback_entry(PyObject* globals, Member member);

// Pass a function's failure result through, adding the entry on failure.
inline PyObject* traced(PyObject* globals, Member member, PyObject* result)
{
    if (!result) {
        add_traceback_entry(globals, member);
    }
    return result;
}

inline int traced(PyObject* globals, Member member, int result)
{
    if (result < 0) {
        add_traceback_entry(globals, member);
    }
    return result;
}

// When the exception being raised is the ImportError of a missing host
// package (or a host module without the names the package imports), adds a
// note (PEP 678) saying what the package needs and where that is described.
// Any other exception is left alone.
void note_missing_host();

}  // namespace lacet
