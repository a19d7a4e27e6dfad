// Whole-input decoding: one value that must end exactly at the end of the input, with the
// readers' complaints about malformed input reported as BTFailure.
#include "../module/binding.hpp"
#include "../module/calls.hpp"
#include "decoder.hpp"
#include "reading.hpp"

namespace vorlaken::decoder {

namespace {

// raise BTFailure(message), with BTFailure read at this moment.
void raise_failure(PyObject* message_args) {
    Ref cls(load_global(rt.id_BTFailure));
    Ref instance(cls ? PyObject_Call(cls.get(), message_args, nullptr) : nullptr);
    if (instance) {
        raise_object(instance.get());
    }
}

bool is_malformed_input() {
    return PyErr_ExceptionMatches(rt.IndexError) || PyErr_ExceptionMatches(rt.KeyError) ||
           PyErr_ExceptionMatches(rt.ValueError);
}

// except (IndexError, KeyError, ValueError): raise BTFailure("not a valid bencoded string")
// The caught exception becomes the new one's context; the caller's handled exception is the
// same afterwards.
void replace_with_failure() {
    add_traceback(Site::bdecode);
    Ref caught(take_pending());
    Ref saved(PyErr_GetHandledException());
    PyErr_SetHandledException(caught.get());
    raise_failure(rt.args_not_valid);
    PyErr_SetHandledException(saved.get());
}

PyObject* decode_whole(PyObject* x) {
    DecodeCall call;
    Token t;
    if (!read_token(x, 0, t)) {
        if (is_malformed_input()) {
            replace_with_failure();
        }
        return nullptr;
    }
    // The outermost end offset is compared as the reader gave it, not converted.
    const Py_ssize_t size = PyBytes_GET_SIZE(x);
    int trailing;
    if (t.end_object) {
        Ref length(PyLong_FromSsize_t(size));
        Ref differs(length ? PyObject_RichCompare(t.end_object.get(), length.get(), Py_NE)
                           : nullptr);
        trailing = differs ? PyObject_IsTrue(differs.get()) : -1;
    } else {
        trailing = t.end != size;
    }
    if (trailing) {
        if (trailing > 0) {
            raise_failure(rt.args_data_after);
        }
        return nullptr;
    }
    return t.value.release();
}

}  // namespace

PyObject* bdecode(PyObject*, PyObject* x) {
    if (!check_exact(x, &PyBytes_Type, "x")) {
        return nullptr;
    }
    PyObject* value = decode_whole(x);
    if (!value) {
        add_traceback(Site::bdecode);
    }
    return value;
}

}  // namespace vorlaken::decoder
