// Small pieces of the CPython layer: an owning reference type, a scoped
// release of the thread state, and the conversion of failures into Python
// exceptions. Only src/binding includes Python.h.
#pragma once

#include <Python.h>

#include <string_view>
#include <utility>

#include "base/error.h"

namespace dovek::binding {

// A strong reference, released in the destructor. Borrowed references are
// plain PyObject* parameters and are never stored.
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* o) { return PyRef(o); }
  static PyRef borrow(PyObject* o) { Py_XINCREF(o); return PyRef(o); }
  PyRef(PyRef&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) { Py_XDECREF(o_); o_ = std::exchange(other.o_, nullptr); }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(o_); }

  PyObject* get() const { return o_; }
  PyObject* release() { return std::exchange(o_, nullptr); }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) : o_(o) {}
  PyObject* o_ = nullptr;
};

// Releases the thread state for its lifetime. Nothing may touch a Python
// object while it is released.
class ThreadStateRelease {
 public:
  ThreadStateRelease() : state_(PyEval_SaveThread()) {}
  ~ThreadStateRelease() { PyEval_RestoreThread(state_); }
  ThreadStateRelease(const ThreadStateRelease&) = delete;
  ThreadStateRelease& operator=(const ThreadStateRelease&) = delete;

  // Runs `f` with the thread state taken back, then releases it again.
  template <class F>
  void with_thread_state(F&& f) {
    PyEval_RestoreThread(state_);
    f();
    state_ = PyEval_SaveThread();
  }

 private:
  PyThreadState* state_;
};

// Raises RuntimeError with the outermost message only; returns nullptr.
PyObject* raise_error(const Error& error);

// The exception type for internal failures (a C++ exception reaching the
// boundary). Derived directly from BaseException so that `except Exception`
// does not swallow a broken invariant.
PyObject* internal_fault_type();

// Raises the internal fault exception for the exception being handled.
// REQUIRES: called inside a catch block. Returns nullptr.
PyObject* raise_internal_fault();

// New str from UTF-8 text known to be valid.
PyObject* to_str(std::string_view text);

}  // namespace dovek::binding
