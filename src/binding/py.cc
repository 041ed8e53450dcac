#include "binding/py.h"

namespace dovek::binding {

namespace {
PyObject* g_internal_fault = nullptr;  // owned for the process's lifetime
}  // namespace

PyObject* raise_error(const Error& error) {
  // The message is passed with its length: it may quote NUL characters (a
  // skill's standard error, a caller's path), which a C string would cut off.
  PyRef text = PyRef::steal(to_str(error.message()));
  if (!text) return nullptr;
  if (error.cause() == nullptr) {
    PyErr_SetObject(PyExc_RuntimeError, text.get());
    return nullptr;
  }
  // The causes travel as the exception's __cause__ chain, one RuntimeError
  // each, which every traceback shows ("The above exception was the direct
  // cause of ..."), while the exception's argument and str() stay the
  // outermost message alone. (Notes would show too, but pytest's
  // raises(match=...) matches them as well, so an anchored match on the
  // message would stop matching.)
  PyRef exception =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_RuntimeError, text.get(), nullptr));
  if (!exception) return nullptr;
  PyObject* outer = exception.get();
  for (const Error* cause = error.cause(); cause != nullptr; cause = cause->cause()) {
    PyRef cause_text = PyRef::steal(to_str(cause->message()));
    if (!cause_text) return nullptr;
    PyObject* inner = PyObject_CallFunctionObjArgs(PyExc_RuntimeError, cause_text.get(), nullptr);
    if (inner == nullptr) return nullptr;
    PyException_SetCause(outer, inner);  // steals inner; the chain keeps it alive
    outer = inner;
  }
  PyErr_SetObject(PyExc_RuntimeError, exception.get());
  return nullptr;
}

bool create_internal_fault_type() {
  if (g_internal_fault == nullptr) {
    g_internal_fault =
        PyErr_NewException("dovek_native.InternalFault", PyExc_BaseException, nullptr);
  }
  return g_internal_fault != nullptr;
}

PyObject* internal_fault_type() { return g_internal_fault; }

PyObject* raise_internal_fault(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    PyErr_SetString(g_internal_fault, e.what());
  } catch (...) {
    PyErr_SetString(g_internal_fault, "unknown internal failure");
  }
  return nullptr;
}

PyObject* to_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace dovek::binding
