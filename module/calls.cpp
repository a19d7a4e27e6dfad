#include "calls.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>

namespace vorlaken {

// Initial-exec TLS: a plain load on every nested call instead of a call to find the variable.
__thread uintptr_t stack_floor [[gnu::tls_model("initial-exec")]] = UINTPTR_MAX;

namespace {

[[gnu::tls_model("initial-exec")]] thread_local bool stack_known = false;

void find_stack_floor() {
    stack_known = true;
    stack_floor = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return;  // unknown bounds: only the recursion limit applies
    }
    void* low = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &low, &size) == 0 && size > 0) {
        // Room left for one more level of nesting, including a Python reader or writer between
        // two checks, and for raising and reporting the error.
        const size_t margin = std::min<size_t>(size / 4, 128 * 1024);
        stack_floor = reinterpret_cast<uintptr_t>(low) + margin;
    }
    pthread_attr_destroy(&attr);
}

void need_more_than(Py_ssize_t n) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n, n == 1 ? "" : "s");
}

void too_many() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                 static_cast<Py_ssize_t>(2));
}

}  // namespace

bool stack_exhausted() {
    if (!stack_known) {
        find_stack_floor();
        if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) >= stack_floor) {
            return false;
        }
    }
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object");
    return true;
}

PyObject* call_generic(PyObject* callable, PyObject* a, PyObject* b) {
    if (!stack_ok()) {
        return nullptr;
    }
    PyObject* args[] = {a, b};
    return PyObject_Vectorcall(callable, args, 2, nullptr);
}

bool unpack_pair(PyObject* obj, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        const Py_ssize_t n = Py_SIZE(obj);
        if (n == 2) {
            PyObject** items =
                PyTuple_CheckExact(obj) ? &PyTuple_GET_ITEM(obj, 0) : &PyList_GET_ITEM(obj, 0);
            first = Ref::borrow(items[0]);
            second = Ref::borrow(items[1]);
            return true;
        }
        n > 2 ? too_many() : need_more_than(n);
        return false;
    }
    Ref it(PyObject_GetIter(obj));
    if (!it) {
        return false;
    }
    Ref got[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        got[i] = Ref(PyIter_Next(it.get()));
        if (!got[i]) {
            if (!PyErr_Occurred()) {
                need_more_than(i);
            }
            return false;
        }
    }
    Ref extra(PyIter_Next(it.get()));
    if (extra) {
        too_many();
        return false;
    }
    if (PyErr_Occurred()) {
        return false;
    }
    first = std::move(got[0]);
    second = std::move(got[1]);
    return true;
}

void raise_object(PyObject* obj) {
    if (PyExceptionClass_Check(obj)) {
        Ref instance(PyObject_CallNoArgs(obj));
        if (!instance) {
            return;
        }
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         obj, Py_TYPE(instance.get()));
            return;
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
        return;
    }
    if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
        return;
    }
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
}

}  // namespace vorlaken
