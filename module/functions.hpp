// The module's function objects: their method records, their creation at start-up, and calls
// of them that skip the interpreter's call machinery.
#pragma once

#include "runtime.hpp"

namespace vorlaken {

// Creates the function object of one of the module's functions and binds it under its name.
// 0 on success, -1 with an exception set.
int bind_function(Site which);

// callable(a, b). When callable is one of the module's own two-parameter functions its body runs
// directly, after the same conversions and type tests and with the same recursion accounting as
// the call would have; anything else is called as usual.
PyObject* call_function(PyObject* callable, PyObject* a, PyObject* b);

}  // namespace vorlaken
