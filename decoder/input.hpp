// Reading the input the way Python indexes and searches a bytes object. Successful reads of an
// exact bytes object never leave C; failures let the interpreter raise its own exception, so
// messages are the interpreter's word for word.
#pragma once

#include <cstdint>
#include <cstring>

#include "../module/runtime.hpp"

namespace vorlaken::decoder {

// Raises what x[i] raises (IndexError for bytes, TypeError for None). Returns -1.
int byte_at_failed(PyObject* x, int64_t i);

// x[i] as an int 0..255, a negative i counting back from the end once; -1 with an exception set.
inline int byte_at(PyObject* x, int64_t i) {
    if (PyBytes_CheckExact(x)) {
        const Py_ssize_t n = PyBytes_GET_SIZE(x);
        const int64_t j = i < 0 ? i + n : i;
        if (j >= 0 && j < n) {
            return static_cast<unsigned char>(PyBytes_AS_STRING(x)[j]);
        }
    }
    return byte_at_failed(x, i);
}

// Where a slice bound or a search start lands: negative counts from the end, then clamped.
inline Py_ssize_t clamp_offset(int64_t i, Py_ssize_t n) {
    if (i < 0) {
        i += n;
        return i < 0 ? 0 : static_cast<Py_ssize_t>(i);
    }
    return i > n ? n : static_cast<Py_ssize_t>(i);
}

// x.index(marker, start) for a one-byte marker, without the call; -1 when absent.
inline Py_ssize_t find_byte(PyObject* x, char marker, int64_t start) {
    const Py_ssize_t n = PyBytes_GET_SIZE(x);
    const Py_ssize_t from = clamp_offset(start, n);
    const char* base = PyBytes_AS_STRING(x);
    const void* hit = from < n ? std::memchr(base + from, marker, n - from) : nullptr;
    return hit ? static_cast<const char*>(hit) - base : -1;
}

// Calls x.index(marker, start) so that the interpreter raises its own error for an absent marker
// (or for an x without an index method). Returns false.
bool search_failed(PyObject* x, PyObject* marker, int64_t start);

// A new decode result pair; steals both references, either of which may be null.
PyObject* result_pair(PyObject* value, PyObject* offset);

}  // namespace vorlaken::decoder
