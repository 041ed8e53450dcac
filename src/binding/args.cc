#include "binding/args.h"

#include <string>

#include "binding/py.h"

namespace dovek::binding {

std::string type_name(PyObject* o) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(o)));
  if (!name) {
    PyErr_Clear();
    return "object";
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "object";
  }
  return std::string(utf8, size);
}

namespace {

void type_error(const char* name, const char* expected, PyObject* got) {
  std::string message =
      std::string("argument '") + name + "': expected " + expected + ", got " + type_name(got);
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

std::string plural(size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace

bool bind_arguments(std::string_view function, std::span<const char* const> names,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out) {
  return bind_arguments(function, names, args, nargs, kwnames, out, names.size(), names.size());
}

bool bind_arguments(std::string_view function, std::span<const char* const> names,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out, size_t required, size_t positional) {
  const size_t npos = static_cast<size_t>(nargs);
  // Error texts are built only on failure: binding is on every call's path.
  auto fn = [&] { return std::string(function); };
  for (PyObject*& slot : out) slot = nullptr;

  if (npos > positional) {
    std::string message = fn() + "() takes " + plural(positional, "positional argument") + " but " +
                          std::to_string(npos) + (npos == 1 ? " was" : " were") + " given";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
  }
  for (size_t i = 0; i < npos; ++i) out[i] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);  // borrowed
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) return false;
    const std::string_view key_text(utf8, size);
    size_t index = names.size();
    for (size_t i = 0; i < names.size(); ++i) {
      if (key_text == names[i]) {
        index = i;
        break;
      }
    }
    if (index == names.size()) {
      std::string message =
          fn() + "() got an unexpected keyword argument '" + std::string(key_text) + "'";
      PyErr_SetString(PyExc_TypeError, message.c_str());
      return false;
    }
    if (out[index] != nullptr) {
      std::string message = "argument for " + fn() + "() given by name ('" + names[index] +
                            "') and position (" + std::to_string(index + 1) + ")";
      PyErr_SetString(PyExc_TypeError, message.c_str());
      return false;
    }
    out[index] = args[npos + static_cast<size_t>(k)];
  }

  for (size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) {
      std::string message = fn() + "() missing required argument '" + names[i] + "' (pos " +
                            std::to_string(i + 1) + ")";
      PyErr_SetString(PyExc_TypeError, message.c_str());
      return false;
    }
  }
  return true;
}

bool borrow_str(const char* name, PyObject* o, std::string_view& out) {
  if (!PyUnicode_Check(o)) {
    type_error(name, "str", o);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
  if (utf8 == nullptr) return false;  // lone surrogates: UnicodeEncodeError stays set
  out = std::string_view(utf8, static_cast<size_t>(size));
  return true;
}

bool convert_str(const char* name, PyObject* o, std::string& out) {
  std::string_view text;
  if (!borrow_str(name, o, text)) return false;
  out.assign(text);
  return true;
}

bool convert_optional_str(const char* name, PyObject* o, std::optional<std::string>& out) {
  if (o == Py_None) {
    out.reset();
    return true;
  }
  if (!PyUnicode_Check(o)) {
    type_error(name, "str or None", o);
    return false;
  }
  std::string s;
  if (!convert_str(name, o, s)) return false;
  out = std::move(s);
  return true;
}

bool convert_u64(const char* name, PyObject* o, uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(o));
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      type_error(name, "int", o);
    }
    return false;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_count(const char* name, PyObject* o, uint64_t& out) {
  PyRef index = PyBool_Check(o) ? PyRef() : PyRef::steal(PyNumber_Index(o));
  if (!index) {
    if (PyBool_Check(o) || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      type_error(name, "int", o);
    }
    return false;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow > 0) {
    out = UINT64_MAX;
    return true;
  }
  if (overflow < 0 || value < 0) {
    PyErr_Format(PyExc_ValueError, "argument '%s' must not be negative, got %R", name, index.get());
    return false;
  }
  out = static_cast<uint64_t>(value);
  return true;
}

bool convert_bool(const char* name, PyObject* o, bool& out) {
  if (PyBool_Check(o)) {
    out = (o == Py_True);
    return true;
  }
  // NumPy boolean scalars (numpy.bool / numpy.bool_) are booleans too; ints are not.
  PyRef module =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__module__"));
  if (!module) PyErr_Clear();
  if (module && PyUnicode_Check(module.get()) &&
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0) {
    const std::string tname = type_name(o);
    if (tname == "bool" || tname == "bool_") {
      int truth = PyObject_IsTrue(o);
      if (truth < 0) return false;
      out = truth != 0;
      return true;
    }
  }
  type_error(name, "bool", o);
  return false;
}

}  // namespace dovek::binding
