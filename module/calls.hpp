// Nested calls from one of the module's functions to a reader or writer, and the two-target
// unpacking of their results. Shared by the decoder and the encoder.
#pragma once

#include <cstdint>

#include "runtime.hpp"

namespace vorlaken {

// The lowest address the stack guard lets a call reach on this thread: the maximum until the
// thread's first check finds the real one (0 when the thread's bounds cannot be found).
// (__thread rather than thread_local: constant-initialised, so no wrapper call on each access.)
extern __thread uintptr_t stack_floor [[gnu::tls_model("initial-exec")]];
bool stack_exhausted();

// False with RecursionError set when the thread's native stack is nearly used up. The interpreter's
// recursion limit alone does not protect it: a caller may raise the limit far above what the
// stack holds, or run on a thread with a small stack.
inline bool stack_ok() {
    // The frame address, not a local's: sanitizers may move locals to a heap-allocated stack.
    if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) >= stack_floor) [[likely]] {
        return true;
    }
    return !stack_exhausted();
}

// The bookkeeping of one call of the module's own body made without the interpreter's call
// machinery: the stack check, and the one level of the recursion limit that the call would count.
class DirectCall {
  public:
    explicit DirectCall(PyThreadState* ts) : ts_(ts), ok_(stack_ok() && enter_level(ts)) {}
    DirectCall() : DirectCall(PyThreadState_Get()) {}
    ~DirectCall() {
        if (ok_) {
            leave_level(ts_);
        }
    }
    DirectCall(const DirectCall&) = delete;
    DirectCall& operator=(const DirectCall&) = delete;
    bool ok() const { return ok_; }

  private:
    PyThreadState* ts_;
    bool ok_;
};

// The level that a call from Python into one of the module's functions costs, counted here only
// where the interpreter's call does not count it against the recursion limit itself.
class EntryLevel {
  public:
    EntryLevel()
        : ts_(entry_counts_level ? PyThreadState_Get() : nullptr),
          ok_(!entry_counts_level || enter_level(ts_)) {}
    ~EntryLevel() {
        if (entry_counts_level && ok_) {
            leave_level(ts_);
        }
    }
    EntryLevel(const EntryLevel&) = delete;
    EntryLevel& operator=(const EntryLevel&) = delete;
    bool ok() const { return ok_; }

  private:
    PyThreadState* ts_;
    bool ok_;
};

// callable(a, b), an ordinary call; the interpreter counts its recursion level.
PyObject* call_generic(PyObject* callable, PyObject* a, PyObject* b);

// Splits obj as `first, second = obj` does: exact tuples and lists of length 2 directly, anything
// else by iteration. False with an exception set.
bool unpack_pair(PyObject* obj, Ref& first, Ref& second);

// `raise obj`: an exception class is instantiated with no arguments, an instance raised as it is,
// anything else refused as Python refuses it.
void raise_object(PyObject* obj);

}  // namespace vorlaken
