// Bodies of the decoder's functions, called after argument binding (or directly by the module).
// Each adds its own traceback entry when it fails.
#pragma once

#include <cstdint>

#include "../module/ref.hpp"

namespace vorlaken::decoder {

PyObject* decode_int(PyObject* x, int32_t f);
PyObject* decode_string(PyObject* x, int32_t f);
PyObject* decode_list(PyObject* x, int32_t f);
PyObject* decode_dict(PyObject* x, int32_t f);
PyObject* bdecode(PyObject* self, PyObject* x);

}  // namespace vorlaken::decoder
