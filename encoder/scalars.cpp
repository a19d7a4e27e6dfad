// The scalar writers: integers ("i", digits, "e"), booleans (as the integers 1 and 0) and byte
// strings (length, ":", bytes). Each appends its token with one extension of the piece list, so
// a failing writer leaves the list as it was.
#include "../module/functions.hpp"
#include "encoder.hpp"
#include "pieces.hpp"

namespace vorlaken::encoder {

namespace {

// Appends the three pieces together, as one extend with a 3-tuple: on failure r is unchanged.
bool extend3(PyObject* r, PyObject* a, PyObject* b, PyObject* c) {
    const Py_ssize_t n = PyList_GET_SIZE(r);
    if (PyList_Append(r, a) == 0 && PyList_Append(r, b) == 0 && PyList_Append(r, c) == 0) {
        return true;
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyList_SetSlice(r, n, PY_SSIZE_T_MAX, nullptr);
    PyErr_Restore(type, value, tb);
    return false;
}

// str(v).encode() for a 64-bit value.
PyObject* decimal(long long v) {
    char buffer[24];
    char* end = buffer + sizeof buffer;
    char* p = end;
    unsigned long long u = v < 0 ? 0ull - static_cast<unsigned long long>(v) : v;
    do {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) {
        *--p = '-';
    }
    return PyBytes_FromStringAndSize(p, end - p);
}

}  // namespace

bool extend_with_length(PyObject* r, PyObject* value) {
    const Py_ssize_t length = PyObject_Size(value);
    if (length < 0) {
        return false;
    }
    Ref digits(decimal(length));
    return digits && extend3(r, digits.get(), rt.b_colon, value);
}

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

namespace {

// str(x).encode() for an exact int.
PyObject* int_digits(PyObject* x) {
    int overflow;
    const long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
    if (!overflow) {
        return decimal(v);
    }
    // Beyond 64 bits the interpreter's own conversion, with its limit on the number of digits.
    Ref text(PyObject_Str(x));
    return text ? PyUnicode_AsUTF8String(text.get()) : nullptr;
}

bool write_int(PyObject* x, PyObject* r) {
    if (r == Py_None) {
        no_piece_list("extend");
        return false;
    }
    Ref digits(int_digits(x));
    return digits && extend3(r, rt.b_i, digits.get(), rt.b_e);
}

bool write_bool(PyObject* x, PyObject* r) {
    const int truth = PyObject_IsTrue(x);
    if (truth < 0) {
        return false;
    }
    Ref writer(load_function(Site::encode_int));
    Ref result(writer ? call_function(writer.get(), truth ? rt.i1 : rt.i0, r) : nullptr);
    return static_cast<bool>(result);
}

bool write_string(PyObject* x, PyObject* r) {
    Ref value(as_bytes(x));
    if (!value) {
        return false;
    }
    if (r == Py_None) {
        no_piece_list("extend");
        return false;
    }
    return extend_with_length(r, value.get());
}

}  // namespace

PyObject* encode_int(PyObject* x, PyObject* r) {
    return done(write_int(x, r), Site::encode_int);
}

PyObject* encode_bool(PyObject* x, PyObject* r) {
    return done(write_bool(x, r), Site::encode_bool);
}

PyObject* encode_string(PyObject* x, PyObject* r) {
    return done(write_string(x, r), Site::encode_string);
}

}  // namespace vorlaken::encoder
