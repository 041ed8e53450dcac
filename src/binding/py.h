// Small pieces of the CPython layer: an owning reference type, a scoped
// release of the thread state, and the conversion of failures into Python
// exceptions. Only src/binding includes Python.h.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "base/error.h"

// Returning a singleton goes through new_none() and new_bool(): these macros
// take no reference under newer headers (see new_none), so they are removed.
#undef Py_RETURN_NONE
#undef Py_RETURN_TRUE
#undef Py_RETURN_FALSE
#undef Py_RETURN_NOTIMPLEMENTED

namespace dovek::binding {

// A strong reference, released in the destructor. Borrowed references are
// plain PyObject* parameters and are never stored.
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* o) { return PyRef(o); }
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(PyRef&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(o_);
      o_ = std::exchange(other.o_, nullptr);
    }
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

// The thread state while a call runs without it (see without_thread_state).
class ReleasedThreadState {
 public:
  explicit ReleasedThreadState(PyThreadState* state) : state_(state) {}
  ReleasedThreadState(const ReleasedThreadState&) = delete;
  ReleasedThreadState& operator=(const ReleasedThreadState&) = delete;

  // Runs `f` (which must not throw) with the thread state taken back, then
  // releases it again. At interpreter exit this may end the thread with a
  // forced unwind, which passes through the caller's frames.
  template <class F>
  void with_thread_state(F&& f) {
    PyEval_RestoreThread(state_);
    f();
    state_ = PyEval_SaveThread();
  }

  PyThreadState* state() const { return state_; }

 private:
  PyThreadState* state_;
};

// The exception being handled, for a catch (...) block that must let a
// forced unwind (the interpreter ending a daemon thread at exit) go on: that
// unwind is no C++ exception, so std::current_exception() is empty for it,
// and it is rethrown here. (Naming abi::__forced_unwind in a catch clause
// instead binds a reference to a null object.)
// REQUIRES: called inside a catch (...) block.
inline std::exception_ptr current_exception_or_rethrow() {
  std::exception_ptr failure = std::current_exception();
  if (!failure) throw;
  return failure;
}

// Whether `failure` is an allocation failure.
inline bool is_bad_alloc(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    return true;
  } catch (...) {
    return false;
  }
}

// Runs `work(ReleasedThreadState&)` with the thread state released and
// returns its result once the state is taken back. Nothing in `work` may
// touch a Python object. The state is taken back by an ordinary call, never
// in a destructor: while the interpreter finalizes, CPython ends a daemon
// thread right there with a forced unwind (abi::__forced_unwind), which a
// noexcept destructor would turn into std::terminate. An exception from
// `work` is carried across and rethrown with the state held; a forced unwind
// from inside `work` passes through without touching the interpreter.
template <class F>
auto without_thread_state(F&& work) {
  using R = decltype(work(std::declval<ReleasedThreadState&>()));
  ReleasedThreadState released(PyEval_SaveThread());
  std::optional<R> result;
  std::exception_ptr failure;
  try {
    result.emplace(work(released));
  } catch (...) {
    failure = current_exception_or_rethrow();
  }
  PyEval_RestoreThread(released.state());
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

// Raises RuntimeError with the outermost message only; returns nullptr.
PyObject* raise_error(const Error& error);

// The exception type for internal failures (a C++ exception reaching the
// boundary). Derived directly from BaseException so that `except Exception`
// does not swallow a broken invariant. Created once by the module's
// initialiser; false with an exception set when that fails.
bool create_internal_fault_type();
PyObject* internal_fault_type();

// Raises the internal fault exception for `failure`. Returns nullptr.
PyObject* raise_internal_fault(const std::exception_ptr& failure);

// Every entry point's body runs inside this: a C++ exception must never
// leave a function that CPython called. An allocation failure raises
// MemoryError, any other exception the internal fault; a forced unwind (the
// interpreter ending a daemon thread at exit) goes on, since the thread must
// end.
template <class F>
PyObject* guarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    return raise_internal_fault(current_exception_or_rethrow());
  }
}

// A new reference to None. Py_RETURN_NONE is not used: the headers of
// CPython 3.12+ define it without taking a reference (None is immortal
// there), even when the module targets the 3.11 stable ABI, and on 3.11 every
// such return would drop one reference that None does not have to spare.
inline PyObject* new_none() {
  Py_INCREF(Py_None);
  return Py_None;
}

// A new reference to True or False (see new_none).
inline PyObject* new_bool(bool value) {
  PyObject* o = value ? Py_True : Py_False;
  Py_INCREF(o);
  return o;
}

// New str from UTF-8 text known to be valid.
PyObject* to_str(std::string_view text);

// The text as a new str, or the error raised. Text: std::string or a view.
template <class Text>
PyObject* result_to_py(const Result<Text>& result) {
  if (!result.ok()) return raise_error(result.error());
  return to_str(*result);
}

// A fast-call function as the PyCFunction a method table holds.
template <class F>
constexpr PyCFunction fastcall(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace dovek::binding
