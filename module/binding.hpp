// The argument-binding layer shared by the positional-or-keyword functions: one signature
// record per function drives the binding, the 32-bit conversion and the exact-type test.
#pragma once

#include <cstdint>

#include "calls.hpp"
#include "runtime.hpp"

namespace vorlaken {

enum class Param : uint8_t {
    any,      // untyped: any object
    int32,    // converted to a signed 32-bit integer before the body runs
    integer,  // converted to an exact int of any size before the body runs
    exact,    // the signature's exact type, or None
};

struct Signature {
    const char* name;  // the function's name, as messages give it
    Site site;
    PyObject* Runtime::*names[2];  // interned parameter names, in order
    const char* c_names[2];
    Param kinds[2];
    PyTypeObject* exact_type;  // for the parameter marked exact
};

// The two bound arguments (strong references, so that code run by the conversion cannot free
// them; an integer parameter holds its converted value) and the converted int32 parameter.
struct Bound {
    Ref arg[2];
    int32_t i32 = 0;
};

// Converts an object to a signed 32-bit integer as integer parameters are converted.
// Returns false with an exception set.
bool to_int32(PyObject* obj, int32_t* out);

// The same conversion without the range limit: a new reference to an exact int, or null.
PyObject* to_integer(PyObject* obj);

enum class BindStatus {
    ok,
    failed,      // binding or conversion failed: the function adds its traceback entry
    wrong_type,  // the exact-type test failed: no traceback entry
};

BindStatus bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, Bound& out);

// The steps after binding: conversion of the integer parameter, then the exact-type test.
BindStatus convert_arguments(const Signature& sig, Bound& b);

// The type test of single-argument functions; false with TypeError set.
bool check_exact(PyObject* obj, PyTypeObject* type, const char* param);

// Adapters from a bound call to the body's natural C++ signature.
inline PyObject* invoke(PyObject* (*body)(PyObject*, int32_t), const Bound& b) {
    return body(b.arg[0].get(), b.i32);
}
inline PyObject* invoke(PyObject* (*body)(int32_t, PyObject*), const Bound& b) {
    return body(b.i32, b.arg[1].get());
}
inline PyObject* invoke(PyObject* (*body)(PyObject*, PyObject*), const Bound& b) {
    return body(b.arg[0].get(), b.arg[1].get());
}

// The C entry point of a positional-or-keyword function. Bodies add their own traceback entry
// when they fail, so that the module's internal direct calls get it too.
template <const Signature& S, auto Body>
PyObject* run_bound(BindStatus status, const Bound& bound) {
    switch (status) {
        case BindStatus::ok:
            return invoke(Body, bound);
        case BindStatus::failed:
            add_traceback(S.site);
            return nullptr;
        case BindStatus::wrong_type:
            break;
    }
    return nullptr;
}

template <const Signature& S, auto Body>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) {
    EntryLevel level;
    if (!level.ok()) {
        return nullptr;
    }
    Bound bound;
    const BindStatus status = bind_arguments(S, args, kwargs, bound);
    return run_bound<S, Body>(status, bound);
}

}  // namespace vorlaken
