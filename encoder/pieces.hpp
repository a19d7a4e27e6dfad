// Appending to the piece list, shared by the writers.
#pragma once

#include "../module/runtime.hpp"

namespace vorlaken::encoder {

// Extends r with the pieces str(len(value)).encode(), ":" and value itself.
bool extend_with_length(PyObject* r, PyObject* value);

// AttributeError "'NoneType' object has no attribute '<name>'", for a piece list that is None.
void no_piece_list(const char* method);

// The text of a str key or value as bytes, by its own encode method; other objects as they are.
PyObject* as_bytes(PyObject* x);

// A writer's result: None, or null after adding the writer's traceback entry.
inline PyObject* done(bool ok, Site site) {
    if (!ok) {
        add_traceback(site);
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace vorlaken::encoder
