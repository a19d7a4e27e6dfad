// Nested calls from one of the module's functions to a reader or writer, and the two-target
// unpacking of their results. Shared by the decoder and the encoder.
#pragma once

#include "runtime.hpp"

namespace vorlaken {

// False with RecursionError set when the thread's native stack is nearly used up. The interpreter's
// recursion limit alone does not protect it: a caller may raise the limit far above what the
// stack holds, or run on a thread with a small stack.
bool stack_ok();

// The bookkeeping of one call of the module's own body made without the interpreter's call
// machinery: the stack check, and the one level of the recursion limit that the call would count.
class DirectCall {
  public:
    DirectCall() : ok_(stack_ok() && enter_level()) {}
    ~DirectCall() {
        if (ok_) {
            leave_level();
        }
    }
    DirectCall(const DirectCall&) = delete;
    DirectCall& operator=(const DirectCall&) = delete;
    bool ok() const { return ok_; }

  private:
    bool ok_;
};

// The level that a call from Python into one of the module's functions costs, counted here only
// where the interpreter's call does not count it against the recursion limit itself.
class EntryLevel {
  public:
    EntryLevel() : ok_(!entry_counts_level || enter_level()) {}
    ~EntryLevel() {
        if (entry_counts_level && ok_) {
            leave_level();
        }
    }
    EntryLevel(const EntryLevel&) = delete;
    EntryLevel& operator=(const EntryLevel&) = delete;
    bool ok() const { return ok_; }

  private:
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
