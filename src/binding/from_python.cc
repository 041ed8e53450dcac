// Python objects to JSON: as a value (from_python), or written straight as
// JSON text without a json::Value in between (write_json_text): a tool's
// result is written once, into the response, so building and freeing a
// value tree for it would be pure overhead.
#include "binding/from_python.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "binding/args.h"
#include "binding/py.h"
#include "json/token.h"

namespace dovek::binding {
namespace {

// One write: the containers open on the path to the object being written
// (for cycles and the depth limit) and the members of the open dicts (in
// key order, for the dict being written at the end).
class TextWriter {
 public:
  explicit TextWriter(json::Writer& out) : out_(out) { members_.reserve(64); }

  // False when `o` holds something from_python refuses (a Python exception
  // may then be set); the writer then holds a partial text.
  bool write(PyObject* o) {
    PyTypeObject* const type = Py_TYPE(o);
    // The exact built-in types first: the common case, and a pointer
    // compare each rather than a call.
    if (type == &PyUnicode_Type) return write_str(o);
    if (type == &PyLong_Type) return write_int(o);
    if (type == &PyFloat_Type) return write_float(o);
    if (o == Py_None) {
      out_.null();
      return true;
    }
    if (o == Py_True || o == Py_False) {
      out_.boolean(o == Py_True);
      return true;
    }
    if (type == &PyList_Type) return write_sequence(o, true);
    if (type == &PyDict_Type) return write_dict(o);
    if (type == &PyTuple_Type) return write_sequence(o, false);
    // Subclasses, in the order from_python tries them.
    if (PyLong_Check(o)) return write_int(o);
    if (PyFloat_Check(o)) return write_float(o);
    if (PyUnicode_Check(o)) return write_str(o);
    if (PyList_Check(o)) return write_sequence(o, true);
    if (PyTuple_Check(o)) return write_sequence(o, false);
    if (PyDict_Check(o)) return write_dict(o);
    return false;
  }

 private:
  struct Member {
    std::string_view key;  // the str's own UTF-8, which it keeps
    PyObject* value;       // borrowed from the dict
  };

  bool write_str(PyObject* o) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
    if (utf8 == nullptr) return false;
    out_.string(std::string_view(utf8, static_cast<size_t>(size)));
    return true;
  }

  bool write_int(PyObject* o) {
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
      if (i == -1 && PyErr_Occurred()) return false;
      if (i < 0) out_.i64(i);
      else out_.u64(static_cast<uint64_t>(i));
      return true;
    }
    if (overflow < 0) return false;
    const unsigned long long u = PyLong_AsUnsignedLongLong(o);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out_.u64(u);
    return true;
  }

  bool write_float(PyObject* o) {
    const double d = PyFloat_AsDouble(o);
    if (!std::isfinite(d)) return false;
    out_.f64(d);
    return true;
  }

  // Enters container `o`: false on a cycle or past the depth limit.
  bool enter(PyObject* o) {
    if (depth_ >= static_cast<size_t>(json::kMaxDepth)) return false;
    if (std::find(path_, path_ + depth_, o) != path_ + depth_) return false;
    path_[depth_++] = o;
    return true;
  }

  // No Python code runs while writing, so nothing can change a container
  // under us: its items are borrowed.
  bool write_sequence(PyObject* o, bool list) {
    if (!enter(o)) return false;
    const Py_ssize_t n = list ? PyList_Size(o) : PyTuple_Size(o);
    out_.begin_array();
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!write(list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i))) return false;
    }
    out_.end_array();
    --depth_;
    return true;
  }

  // Members in key order: str keys are distinct, so their UTF-8 bytes are
  // too, and sorting them gives the order a json::Object keeps. Keys that
  // already ascend (a dict built from a JSON object, most dicts written in
  // code) are taken as they are.
  bool write_dict(PyObject* o) {
    if (!enter(o)) return false;
    const size_t first = members_.size();
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;  // borrowed
    bool ascending = true;
    while (PyDict_Next(o, &pos, &key, &value)) {
      // An exact str is told by its type pointer; the flag test is a call
      // in the limited API.
      if (Py_TYPE(key) != &PyUnicode_Type && !PyUnicode_Check(key)) return false;
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
      if (utf8 == nullptr) return false;
      const std::string_view k(utf8, static_cast<size_t>(size));
      if (members_.size() > first && !bytes::less(members_.back().key, k)) ascending = false;
      members_.push_back({k, value});
    }
    if (!ascending) {
      std::sort(members_.begin() + static_cast<std::ptrdiff_t>(first), members_.end(),
                [](const Member& a, const Member& b) { return a.key < b.key; });
    }
    const size_t end = members_.size();
    out_.begin_object();
    for (size_t i = first; i < end; ++i) {
      const Member m = members_[i];  // a copy: nested dicts may grow the vector
      out_.member_key(m.key);
      if (!write(m.value)) return false;
    }
    out_.end_object();
    members_.resize(first);
    --depth_;
    return true;
  }

  json::Writer& out_;
  PyObject* path_[json::kMaxDepth];  // borrowed: each is held by its parent or the caller
  size_t depth_ = 0;
  std::vector<Member> members_;
};

}  // namespace

Status write_json_text(PyObject* object, std::string_view what, json::Writer& out) {
  if (TextWriter(out).write(object)) return ok_status();
  // Rare: convert again the thorough way, which finds the same fault first
  // in the same order and says what it is. Should it find none, its value
  // is written instead.
  PyErr_Clear();
  DOVEK_ASSIGN_OR_RETURN(json::Value value, from_python(object, what));
  out = json::Writer(out.release(), 0);
  out.value(value);
  return ok_status();
}


namespace {

// One conversion from Python: the path of containers being converted (for
// cycles and the depth limit) and the first failure.
class FromPython {
 public:
  explicit FromPython(std::string_view what) : what_(what) {}

  Result<json::Value> run(PyObject* o) {
    json::Value out = convert(o);
    if (failure_) return Error(std::move(*failure_));
    return out;
  }

 private:
  json::Value fail(const std::string& detail) {
    if (!failure_) failure_ = "cannot convert " + std::string(what_) + " to JSON: " + detail;
    return json::Value();
  }

  // The pending Python exception (a str that does not encode, memory) as the
  // failure, cleared.
  json::Value fail_with_python_error(std::string_view context) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef t = PyRef::steal(type), v = PyRef::steal(value), tb = PyRef::steal(traceback);
    std::string text = v ? type_name(v.get()) : "error";
    return fail(std::string(context) + " (" + text + ")");
  }

  json::Value convert(PyObject* o) {
    if (failure_) return json::Value();
    if (o == Py_None) return json::Value();
    if (PyBool_Check(o)) return json::Value(o == Py_True);
    if (PyLong_Check(o)) return convert_int(o);
    if (PyFloat_Check(o)) {
      const double d = PyFloat_AsDouble(o);
      if (!std::isfinite(d)) return fail("float is not finite");
      return json::Value(d);
    }
    if (PyUnicode_Check(o)) {
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
      if (utf8 == nullptr) return fail_with_python_error("str is not valid Unicode");
      return json::Value(std::string_view(utf8, static_cast<size_t>(size)));
    }
    const bool list = PyList_Check(o), tuple = !list && PyTuple_Check(o);
    const bool dict = !list && !tuple && PyDict_Check(o);
    if (!list && !tuple && !dict) return fail("unsupported type " + type_name(o));
    if (std::find(path_.begin(), path_.end(), o) != path_.end()) {
      return fail(type_name(o) + " contains itself");
    }
    if (path_.size() >= static_cast<size_t>(json::kMaxDepth)) {
      return fail(type_name(o) + " nested deeper than " + std::to_string(json::kMaxDepth) +
                  " levels");
    }
    path_.push_back(o);
    json::Value out = dict ? convert_dict(o) : convert_sequence(o, list);
    path_.pop_back();
    return out;
  }

  json::Value convert_int(PyObject* o) {
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
      if (i == -1 && PyErr_Occurred()) return fail_with_python_error("int");
      return json::Value(static_cast<int64_t>(i));
    }
    if (overflow > 0) {
      const unsigned long long u = PyLong_AsUnsignedLongLong(o);
      if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        return json::Value(static_cast<uint64_t>(u));
      }
      PyErr_Clear();
    }
    return fail("int out of the 64-bit range");
  }

  json::Value convert_sequence(PyObject* o, bool list) {
    const Py_ssize_t n = list ? PyList_Size(o) : PyTuple_Size(o);
    json::Array items;
    items.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n && !failure_; ++i) {
      // Borrowed: no Python code runs while converting, so nothing can
      // change the container under us.
      PyObject* item = list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i);
      items.push_back(convert(item));
    }
    return json::Value(std::move(items));
  }

  json::Value convert_dict(PyObject* o) {
    json::Object::Members members;
    members.reserve(static_cast<size_t>(PyDict_Size(o)));
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;  // borrowed
    while (!failure_ && PyDict_Next(o, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) return fail("dict key of type " + type_name(key) + " is not str");
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
      if (utf8 == nullptr) return fail_with_python_error("dict key is not valid Unicode");
      std::string k(utf8, static_cast<size_t>(size));
      members.emplace_back(std::move(k), convert(value));
    }
    // str keys are distinct, so their UTF-8 bytes are too: sorting is all
    // that an object needs.
    std::sort(members.begin(), members.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return json::Value(json::Object::from_sorted(std::move(members)));
  }

  std::string_view what_;
  std::vector<PyObject*> path_;  // borrowed: each is held by its parent or the caller
  std::optional<std::string> failure_;
};

}  // namespace

Result<json::Value> from_python(PyObject* object, std::string_view what) {
  return FromPython(what).run(object);
}

}  // namespace dovek::binding
