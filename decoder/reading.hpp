// The readers as the decoder calls them internally: results come back as a value and an end
// offset instead of a new pair, so that reading a nested token allocates only its value.
#pragma once

#include <cstdint>

#include "../module/runtime.hpp"

namespace vorlaken::decoder {

// A reader's result. The module's own readers give their end offset as a number; a reader of a
// caller's gives it as whatever object it returned.
struct Token {
    Ref value;
    Ref end_object;  // set for a caller's reader
    int64_t end = 0;
};

// The four readers' bodies. Each adds its traceback entry when it fails.
bool read_int(PyObject* x, int32_t f, Token& out);
bool read_string(PyObject* x, int32_t f, Token& out);
bool read_list(PyObject* x, int32_t f, Token& out);
bool read_dict(PyObject* x, int32_t f, Token& out);

// A reader's body with the reader's traceback entry added when it fails.
template <bool (*Body)(PyObject*, int32_t, Token&), Site S>
bool traced(PyObject* x, int32_t f, Token& out) {
    if (!Body(x, f, out)) {
        add_traceback(S);
        return false;
    }
    return true;
}

// reader(x, f) for any reader; the module's own readers are run without the call machinery.
bool call_reader(PyObject* reader, PyObject* x, int32_t f, Token& out);

// The token at f read by the reader that decode_func, read now, gives for its first byte. The end
// offset is left as the reader gave it.
bool read_token(PyObject* x, int32_t f, Token& out);

// A new decode result pair made from a token; null with an exception set.
PyObject* token_pair(Token& t);

}  // namespace vorlaken::decoder
