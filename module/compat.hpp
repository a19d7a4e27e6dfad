// What differs between the interpreter versions the module is built for (3.11 to 3.13): each
// difference is settled here once, so that a newer interpreter needs a change in one place.
#pragma once

#include <cstdint>

#include "ref.hpp"

namespace vorlaken {

// One level of sys.getrecursionlimit() for a call that the module makes itself (a nested reader
// or writer, or a call from Python into one of its functions). False with RecursionError set.
//
// Up to 3.11 the interpreter counts Python frames and calls from C against one counter, which
// the recursion limit governs, and Py_EnterRecursiveCall is that count. From 3.12 on,
// Py_EnterRecursiveCall counts against a fixed C-level bound of the interpreter's that the caller
// can neither see nor raise, while the recursion limit governs only the counter of Python frames
// (py_recursion_remaining). The module counts its levels on that counter, as the interpreter
// counts a Python frame, so that each level of nesting costs what it costs on 3.11: one level
// of the limit, shared with the caller's own frames. The native stack is guarded separately
// (stack_ok), so no limit a caller sets can overflow it.
inline bool enter_level() {
#if PY_VERSION_HEX >= 0x030C0000
    PyThreadState* ts = PyThreadState_Get();
    // While the interpreter reports an overflow it grants a little headroom, as it does for its
    // own frames.
    const int floor = ts->recursion_headroom ? -50 : 0;
    if (ts->py_recursion_remaining > floor) {
        --ts->py_recursion_remaining;
        return true;
    }
    ++ts->recursion_headroom;
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object");
    --ts->recursion_headroom;
    return false;
#else
    return Py_EnterRecursiveCall(" while calling a Python object") == 0;
#endif
}

inline void leave_level() {
#if PY_VERSION_HEX >= 0x030C0000
    ++PyThreadState_Get()->py_recursion_remaining;
#else
    Py_LeaveRecursiveCall();
#endif
}

// True where the interpreter's own call of a built-in function from Python code does not count
// against the recursion limit (3.12 on: it counts against the C-level bound instead), so that the
// module's entry points count that level themselves.
constexpr bool entry_counts_level = PY_VERSION_HEX >= 0x030C0000;

// A dictionary's version tag, which changes with every change to it; 0 for an object that is
// no dictionary, and where the interpreter keeps no tag to rely on (deprecated from 3.12 on).
inline uint64_t dict_version(PyObject* dict) {
#if PY_VERSION_HEX < 0x030C0000
    return PyDict_Check(dict) ? reinterpret_cast<PyDictObject*>(dict)->ma_version_tag : 0;
#else
    (void)dict;
    return 0;
#endif
}

// int(obj) to a C int; -1 with OverflowError (the interpreter's message) out of range.
// Public from 3.13 on as PyLong_AsInt; the private _PyLong_AsInt before.
inline int long_as_int(PyObject* value) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyLong_AsInt(value);
#else
    return _PyLong_AsInt(value);
#endif
}

// sep.join(pieces) for bytes. Public from 3.14 on as PyBytes_Join; the private _PyBytes_Join,
// which bytes.join itself calls, before.
inline PyObject* bytes_join(PyObject* sep, PyObject* pieces) {
#if PY_VERSION_HEX >= 0x030E0000
    return PyBytes_Join(sep, pieces);
#else
    return _PyBytes_Join(sep, pieces);
#endif
}

}  // namespace vorlaken
