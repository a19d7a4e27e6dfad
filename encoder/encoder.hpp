// Bodies of the encoder's functions, called after argument binding (or directly by the module).
// Each adds its own traceback entry when it fails.
#pragma once

#include "../module/runtime.hpp"

namespace vorlaken::encoder {

PyObject* encode(PyObject* v, PyObject* r);
PyObject* encode_int(PyObject* x, PyObject* r);  // x: an exact int, already converted
PyObject* encode_bool(PyObject* x, PyObject* r);
PyObject* encode_string(PyObject* x, PyObject* r);
PyObject* encode_list(PyObject* x, PyObject* r);
PyObject* encode_dict(PyObject* x, PyObject* r);
PyObject* bencode(PyObject* self, PyObject* x);

// Start-up: builds the writer table and binds it as encode_func. 0, or -1 with an exception set.
int build_writer_table();

}  // namespace vorlaken::encoder
