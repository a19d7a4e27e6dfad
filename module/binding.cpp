#include "binding.hpp"

namespace vorlaken {

namespace {

bool long_to_int32(PyObject* value, int32_t* out) {
    const int v = long_as_int(value);
    if (v == -1 && PyErr_Occurred()) {
        return false;
    }
    *out = v;
    return true;
}

void count_error(const Signature& sig, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, "exactly", static_cast<Py_ssize_t>(2), "s", given);
}

bool same_text(PyObject* key, PyObject* name) {
    return PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) &&
           PyUnicode_Compare(key, name) == 0;
}

// The parameter that a keyword names, among parameters first..1, or -1.
int match_name(const Signature& sig, PyObject* key, int first) {
    for (int i = first; i < 2; ++i) {
        if (key == rt.*sig.names[i]) {
            return i;
        }
    }
    if (PyUnicode_Check(key)) {
        for (int i = first; i < 2; ++i) {
            if (same_text(key, rt.*sig.names[i])) {
                return i;
            }
        }
    }
    return -1;
}

// Keywords given beside the ones looked up by name: bind the names of parameters not filled by
// position again, refuse everything else with the message of the first offender.
bool walk_keywords(const Signature& sig, PyObject* kwargs, Py_ssize_t n, Bound& out) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        int i = match_name(sig, key, static_cast<int>(n));
        if (i >= 0) {
            out.arg[i] = Ref::borrow(value);
            continue;
        }
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return false;
        }
        if (match_name(sig, key, 0) >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.name, key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                         key);
        }
        return false;
    }
    return true;
}

bool bind_keyword(const Signature& sig, PyObject* kwargs, int i, Bound& out) {
    PyObject* value = PyDict_GetItemWithError(kwargs, rt.*sig.names[i]);
    if (!value) {
        if (!PyErr_Occurred()) {
            count_error(sig, i);
        }
        return false;
    }
    out.arg[i] = Ref::borrow(value);
    return true;
}

bool bind_positions(const Signature& sig, PyObject* args, PyObject* kwargs, Bound& out) {
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (!kwargs ? n != 2 : n > 2) {
        count_error(sig, n);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        out.arg[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    }
    if (!kwargs) {
        return true;
    }
    Py_ssize_t unused = PyDict_GET_SIZE(kwargs);
    for (int i = static_cast<int>(n); i < 2; ++i) {
        if (!bind_keyword(sig, kwargs, i, out)) {
            return false;
        }
        --unused;
    }
    return unused <= 0 || walk_keywords(sig, kwargs, n, out);
}

// int(obj) for an object that is no int but whose type converts to one; null with an error set.
PyObject* converted_int(PyObject* obj) {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    Ref value(PyNumber_Long(obj));
    if (value && !PyLong_Check(value.get())) {
        PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                     Py_TYPE(value.get())->tp_name);
        return nullptr;
    }
    return value.release();
}

}  // namespace

bool to_int32(PyObject* obj, int32_t* out) {
    if (PyLong_Check(obj)) {
        return long_to_int32(obj, out);
    }
    Ref value(converted_int(obj));
    return value && long_to_int32(value.get(), out);
}

PyObject* to_integer(PyObject* obj) {
    if (PyLong_CheckExact(obj)) {
        return Py_NewRef(obj);
    }
    // A subclass is taken by its value: its own __int__ or __str__ play no part.
    Ref value(PyLong_Check(obj) ? Py_NewRef(obj) : converted_int(obj));
    if (!value || PyLong_CheckExact(value.get())) {
        return value.release();
    }
    // int's own conversion slot copies a subclass instance to an exact int.
    return PyLong_Type.tp_as_number->nb_int(value.get());
}

bool check_exact(PyObject* obj, PyTypeObject* type, const char* param) {
    if (obj == Py_None || Py_TYPE(obj) == type) {
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 type->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

BindStatus bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, Bound& out) {
    if (!bind_positions(sig, args, kwargs, out)) {
        return BindStatus::failed;
    }
    return convert_arguments(sig, out);
}

BindStatus convert_arguments(const Signature& sig, Bound& out) {
    for (int i = 0; i < 2; ++i) {
        if (sig.kinds[i] == Param::int32 && !to_int32(out.arg[i].get(), &out.i32)) {
            return BindStatus::failed;
        }
        if (sig.kinds[i] == Param::integer) {
            out.arg[i] = Ref(to_integer(out.arg[i].get()));
            if (!out.arg[i]) {
                return BindStatus::failed;
            }
        }
    }
    for (int i = 0; i < 2; ++i) {
        if (sig.kinds[i] == Param::exact &&
            !check_exact(out.arg[i].get(), sig.exact_type, sig.c_names[i])) {
            return BindStatus::wrong_type;
        }
    }
    return BindStatus::ok;
}

}  // namespace vorlaken
