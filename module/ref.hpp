// Owning handle for one strong reference, so that every early return releases what it holds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorlaken {

class Ref {
  public:
    Ref() noexcept = default;
    // Takes over a new reference (or null, as returned by a failing API call).
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to a caller that steals it (a return value, PyTuple_SET_ITEM).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    PyObject* p_ = nullptr;
};

}  // namespace vorlaken
