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
// the recursion limit governs. From 3.12 on, Py_EnterRecursiveCall counts against a fixed C-level
// bound of the interpreter's that the caller can neither see nor raise, while the recursion limit
// governs only the counter of Python frames (py_recursion_remaining). The module counts its
// levels on the counter that the limit governs, as the interpreter counts a Python frame (3.11's
// Py_EnterRecursiveCall does the same to that version's counter), so that each level of nesting
// costs one level of the limit on every version, shared with the caller's own frames. The native
// stack is guarded separately (stack_ok), so no limit a caller sets can overflow it.
inline int& recursion_remaining(PyThreadState* ts) {
#if PY_VERSION_HEX >= 0x030C0000
    return ts->py_recursion_remaining;
#else
    return ts->recursion_remaining;
#endif
}

inline bool enter_level(PyThreadState* ts) {
    int& remaining = recursion_remaining(ts);
    // While the interpreter reports an overflow it grants a little headroom, as it does for its
    // own frames.
    if (remaining > 0 || (ts->recursion_headroom && remaining > -50)) [[likely]] {
        --remaining;
        return true;
    }
    ++ts->recursion_headroom;
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object");
    --ts->recursion_headroom;
    return false;
}

inline void leave_level(PyThreadState* ts) {
    ++recursion_remaining(ts);
}

// True where the interpreter's own call of a built-in function from Python code does not count
// against the recursion limit (3.12 on: it counts against the C-level bound instead), so that the
// module's entry points count that level themselves.
constexpr bool entry_counts_level = PY_VERSION_HEX >= 0x030C0000;

// Proof that a dictionary has not changed since a stamp was taken, so that what was read from it
// then is what a lookup would find now. On 3.11 the stamp is the dictionary's version tag, which
// every change replaces. From 3.12 on, where version tags are deprecated, it is the number of
// changes that the module's dictionary watcher has been told of in all the dictionaries it
// watches: a change to any of them makes every stamp stale, which costs no more than a fresh look.
#if PY_VERSION_HEX >= 0x030C0000
extern uint64_t watched_changes;
extern int dict_watcher;  // -1 when the interpreter had no watcher to spare: nothing is proven
#endif

// Takes a stamp of dict, watching it from now on where that is how changes are seen. False when
// no proof can be had for it.
inline bool take_stamp(PyObject* dict, uint64_t* stamp) {
#if PY_VERSION_HEX >= 0x030C0000
    if (dict_watcher < 0 || PyDict_Watch(dict_watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    *stamp = watched_changes;
    return true;
#else
    *stamp = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    return true;
#endif
}

inline bool unchanged(PyObject* dict, uint64_t stamp) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)dict;
    return watched_changes == stamp;
#else
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == stamp;
#endif
}

// At start-up: registers the module's dictionary watcher where the interpreter has them. A
// process has only a few; without one the module simply never takes a shortcut.
void start_watching();

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

// Grows or shrinks a bytes object that nothing else references yet, so that a result can be built
// in place. Public from 3.15 on as the PyBytesWriter API; the private _PyBytes_Resize, which the
// interpreter's own builders use, before.
inline int bytes_resize(PyObject** bytes, Py_ssize_t size) {
    return _PyBytes_Resize(bytes, size);
}

}  // namespace vorlaken
