#include "binding/py.h"

namespace dovek::binding {

namespace {
PyObject* g_internal_fault = nullptr;  // owned for the process's lifetime
}  // namespace

PyObject* raise_error(const Error& error) {
  // The message is passed with its length: it may quote NUL characters (a
  // skill's standard error, a caller's path), which a C string would cut off.
  PyRef text = PyRef::steal(to_str(error.message()));
  if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
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
