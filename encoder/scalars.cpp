// The scalar writers: integers ("i", digits, "e"), booleans (as the integers 1 and 0) and byte
// strings (length, ":", bytes). Each appends its token with one extension of the piece list, so
// a failing writer leaves the list as it was.
#include "encoder.hpp"
#include "writing.hpp"

namespace vorlaken::encoder {

void no_piece_list(const char* method) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%s'", method);
}

PyObject* as_bytes(PyObject* x) {
    if (PyUnicode_CheckExact(x)) {
        return PyUnicode_AsUTF8String(x);
    }
    if (PyUnicode_Check(x)) {  // a subclass may encode itself its own way
        return PyObject_CallMethodNoArgs(x, rt.function_name[static_cast<int>(Site::encode)]);
    }
    return Py_NewRef(x);
}

bool write_int(PyObject* x, Pieces& r) {
    if (r.is_none()) {
        no_piece_list("extend");
        return false;
    }
    int overflow;
    const long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
    if (!overflow) {
        return r.int_token(v);
    }
    // Beyond 64 bits the interpreter's own conversion, with its limit on the number of digits.
    Ref text(PyObject_Str(x));
    Ref digits(text ? PyUnicode_AsUTF8String(text.get()) : nullptr);
    return digits && r.int_token(digits.get());
}

namespace {

bool write_bool(PyObject* x, Pieces& r) {
    // The truth of True, False and None is decided without code of a caller's; anything else may
    // run its own __bool__ or __len__.
    if (x != Py_True && x != Py_False && x != Py_None && !r.list()) {
        return false;
    }
    const int truth = PyObject_IsTrue(x);
    if (truth < 0) {
        return false;
    }
    PyObject* value = truth ? rt.i1 : rt.i0;
    // The module's own encode_int, as the namespace holds it now, writes the value directly.
    if (const WriterProof* proof = writer_proof(r); proof && proof->encode_int_is_own) {
        Ref result(call_own(Site::encode_int, value, r));
        return static_cast<bool>(result);
    }
    if (!r.list()) {
        return false;
    }
    Ref writer(load_function(Site::encode_int));
    Ref result(writer ? call_writer(writer.get(), value, r) : nullptr);
    return static_cast<bool>(result);
}

}  // namespace

bool write_string(PyObject* x, Pieces& r) {
    if (PyBytes_CheckExact(x)) {
        return r.is_none() ? (no_piece_list("extend"), false)
                           : r.string_token(x, PyBytes_AS_STRING(x), PyBytes_GET_SIZE(x));
    }
    if (PyUnicode_CheckExact(x) && PyUnicode_IS_COMPACT_ASCII(x) && r.kept()) {
        // The piece would be a new bytes object equal to the text; kept as bytes, it needs none.
        return r.string_token(nullptr, static_cast<const char*>(PyUnicode_DATA(x)),
                              PyUnicode_GET_LENGTH(x));
    }
    // A subclass's encode and __len__ are its own code.
    if (!PyUnicode_CheckExact(x) && !r.list()) {
        return false;
    }
    Ref value(as_bytes(x));
    if (!value) {
        return false;
    }
    if (r.is_none()) {
        no_piece_list("extend");
        return false;
    }
    if (PyBytes_CheckExact(value.get())) {
        return r.string_token(value.get(), PyBytes_AS_STRING(value.get()),
                              PyBytes_GET_SIZE(value.get()));
    }
    const Py_ssize_t length = PyObject_Size(value.get());
    return length >= 0 && r.string_piece(value.get(), length);
}

bool encode_int_body(PyObject* x, Pieces& r) {
    if (!write_int(x, r)) {
        add_traceback(Site::encode_int);
        return false;
    }
    return true;
}

bool encode_bool_body(PyObject* x, Pieces& r) {
    if (!write_bool(x, r)) {
        add_traceback(Site::encode_bool);
        return false;
    }
    return true;
}

bool encode_string_body(PyObject* x, Pieces& r) {
    if (!write_string(x, r)) {
        add_traceback(Site::encode_string);
        return false;
    }
    return true;
}

PyObject* encode_int(PyObject* x, PyObject* r) {
    Pieces pieces(r);
    return encode_int_body(x, pieces) ? Py_NewRef(Py_None) : nullptr;
}

PyObject* encode_bool(PyObject* x, PyObject* r) {
    Pieces pieces(r);
    return encode_bool_body(x, pieces) ? Py_NewRef(Py_None) : nullptr;
}

PyObject* encode_string(PyObject* x, PyObject* r) {
    Pieces pieces(r);
    return encode_string_body(x, pieces) ? Py_NewRef(Py_None) : nullptr;
}

}  // namespace vorlaken::encoder
