// Bodies of the decoder's functions, called after argument binding (or directly by the module).
// Each adds its own traceback entry when it fails.
#pragma once

#include <cstdint>

#include "../module/runtime.hpp"

namespace vorlaken::decoder {

PyObject* decode_int(PyObject* x, int32_t f);
PyObject* decode_string(PyObject* x, int32_t f);
PyObject* decode_list(PyObject* x, int32_t f);
PyObject* decode_dict(PyObject* x, int32_t f);
PyObject* bdecode(PyObject* self, PyObject* x);

// Start-up: binds decode_func and fills it, leaving the loop's variables bound as globals.
// 0 on success, -1 with an exception set.
int fill_reader_table();

}  // namespace vorlaken::decoder
