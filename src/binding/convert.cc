#include "binding/convert.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "binding/args.h"
#include "binding/py.h"
#include "json/parse.h"
#include "json/token.h"

namespace dovek::binding {
namespace {

// The str objects of short object keys, kept from one conversion to the next
// in a small direct-mapped cache: a tool's inputs share their shape, so
// their keys repeat, and a str that is reused costs no allocation and no
// decoding. Touched only with the thread state held, which guards it (the
// module serves one interpreter per process). The strs it holds are never
// released at exit: they are the interpreter's, and it may be gone by then.
constexpr size_t kCachedKeyBytes = 24;
constexpr size_t kKeyCacheSlots = 512;

struct CachedKey {
  PyObject* str = nullptr;  // strong reference
  uint8_t size = 0;
  char bytes[kCachedKeyBytes];
};

CachedKey g_key_cache[kKeyCacheSlots];

// A hash of a key of at most kCachedKeyBytes from a few word loads (the
// first and last bytes, the length), not a loop over every byte: keys that
// repeat are short, and this runs for every member converted.
uint32_t key_hash(std::string_view key) {
  const char* p = key.data();
  const size_t n = key.size();
  uint64_t v = n;
  auto load = [](const char* at, size_t size) {
    uint64_t w = 0;
    std::memcpy(&w, at, size);
    return w;
  };
  if (n >= 8) {
    v ^= load(p, 8) * 0x9E3779B97F4A7C15u;
    v ^= load(p + n - 8, 8);
    if (n > 16) v ^= load(p + 8, 8) * 0xC2B2AE3D27D4EB4Fu;
  } else if (n >= 4) {
    v ^= load(p, 4) << 32 | load(p + n - 4, 4);
  } else {
    for (size_t i = 0; i < n; ++i) v = v << 8 | static_cast<uint8_t>(p[i]);
  }
  v *= 0x9E3779B97F4A7C15u;
  return static_cast<uint32_t>(v >> 40);
}

PyObject* key_str(std::string_view key) {
  if (key.size() > kCachedKeyBytes) return to_str(key);
  CachedKey& slot = g_key_cache[key_hash(key) % kKeyCacheSlots];
  if (slot.str != nullptr && bytes::equal(std::string_view(slot.bytes, slot.size), key)) {
    Py_INCREF(slot.str);
    return slot.str;
  }
  PyObject* str = to_str(key);
  if (str == nullptr) return nullptr;
  Py_INCREF(str);
  Py_XDECREF(std::exchange(slot.str, str));  // a str runs no Python code when freed
  slot.size = static_cast<uint8_t>(key.size());
  std::memcpy(slot.bytes, key.data(), key.size());
  return str;
}

// Dicts of the same keys, kept from one conversion to the next: a tool's
// inputs share their shape, and copying a dict that has the keys (each
// value None) and then setting the values costs less than inserting every
// key into a new dict, which grows its table several times on the way. For
// objects of kMinShapeMembers members and more (smaller dicts never grow)
// up to kMaxShapeMembers. A shape gets its dict when it is seen a second
// time, so that objects whose keys never repeat cost one hash, not a dict
// each. Guarded like the key cache; the dicts are never released at exit.
constexpr size_t kMinShapeMembers = 6;
constexpr size_t kMaxShapeMembers = 64;
constexpr size_t kShapeSlots = 64;

struct Shape {
  uint64_t hash = 0;         // of the last shape seen in this slot
  PyObject* dict = nullptr;  // strong reference, for that hash; holds keys
  size_t size = 0;
  PyObject* keys[kMaxShapeMembers];  // the dict's keys in order, borrowed from it
};

Shape g_shapes[kShapeSlots];

// The keys' identity: each key str comes from the key cache, so that equal
// keys of inputs that follow each other are the same objects.
uint64_t shape_hash(PyObject* const* keys, size_t n) {
  uint64_t h = n;
  for (size_t k = 0; k < n; ++k) {
    h = (h ^ reinterpret_cast<uintptr_t>(keys[k])) * 0x9E3779B97F4A7C15u;
  }
  return h ^ (h >> 29);
}

// A new dict holding `keys` in order, each with the value None, copied
// from the shape's dict when there is one; nullptr with a Python error set,
// or with none when the shape has no dict yet (the caller builds one).
PyObject* dict_of_shape(PyObject* const* keys, size_t n) {
  const uint64_t hash = shape_hash(keys, n);
  Shape& shape = g_shapes[hash % kShapeSlots];
  if (shape.dict != nullptr && shape.hash == hash && shape.size == n &&
      std::equal(keys, keys + n, shape.keys)) {
    return PyDict_Copy(shape.dict);
  }
  if (shape.hash != hash || shape.dict != nullptr) {
    // First sighting (or another shape's dict in the slot): remember it.
    Py_CLEAR(shape.dict);  // a dict of strs and None runs no Python code when freed
    shape.size = 0;
    shape.hash = hash;
    return nullptr;
  }
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (size_t k = 0; k < n; ++k) {
    if (PyDict_SetItem(dict.get(), keys[k], Py_None) < 0) return nullptr;
  }
  std::copy(keys, keys + n, shape.keys);
  shape.size = n;
  shape.dict = dict.release();
  return PyDict_Copy(shape.dict);
}

}  // namespace

PyObject* to_python(const json::Value& value) {
  switch (value.kind()) {
    case json::Value::Kind::kNull: return new_none();
    case json::Value::Kind::kBool: return new_bool(value.as_bool());
    case json::Value::Kind::kU64: return PyLong_FromUnsignedLongLong(value.as_u64());
    case json::Value::Kind::kI64: return PyLong_FromLongLong(value.as_i64());
    case json::Value::Kind::kDouble: return PyFloat_FromDouble(value.as_double());
    case json::Value::Kind::kString: return to_str(value.as_string());
    case json::Value::Kind::kArray: {
      const json::Array& items = value.as_array();
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
      if (!list) return nullptr;
      for (size_t i = 0; i < items.size(); ++i) {
        PyObject* item = to_python(items[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
      }
      return list.release();
    }
    case json::Value::Kind::kObject: {
      PyRef dict = PyRef::steal(PyDict_New());
      if (!dict) return nullptr;
      for (const auto& [key, member] : value.as_object()) {
        PyRef k = PyRef::steal(key_str(key));
        PyRef v = PyRef::steal(to_python(member));
        if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
      }
      return dict.release();
    }
  }
  return new_none();
}

namespace {

PyObject* tape_to_python(const json::Tape& tape, size_t& i);

// The index just past the value that starts at token i.
size_t past_value(const json::Tape& tape, size_t i) {
  const json::Token& t = tape[i];
  const bool container =
      t.kind == json::TokenKind::kArrayBegin || t.kind == json::TokenKind::kObjectBegin;
  return container ? t.end + 1 : i + 1;
}

// The object at token i (of kMinShapeMembers to kMaxShapeMembers members);
// i moves past it. Its keys first, then a dict of that shape, then the
// values; keys that do not ascend go the way of the Value, as below.
PyObject* object_of_shape(const json::Tape& tape, size_t& i) {
  const json::Token& t = tape[i];
  const size_t begin = i;
  PyObject* keys[kMaxShapeMembers];  // strong references
  size_t n = 0;
  struct Release {
    PyObject** keys;
    size_t& n;
    ~Release() {
      for (size_t k = 0; k < n; ++k) Py_DECREF(keys[k]);
    }
  } release{keys, n};
  bool ascending = tape[t.end].written_form;
  std::string_view previous;
  for (size_t k = begin + 1; k < t.end; k = past_value(tape, k + 1)) {
    const std::string_view key = tape.string(tape[k]);
    if (!ascending) {
      if (k != begin + 1 && !bytes::less(previous, key)) {
        i = t.end + 1;
        return to_python(json::to_value(tape, begin));
      }
      previous = key;
    }
    if ((keys[n] = key_str(key)) == nullptr) return nullptr;
    ++n;
  }
  PyRef dict = PyRef::steal(dict_of_shape(keys, n));
  if (!dict) {
    if (PyErr_Occurred()) return nullptr;
    dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
  }
  i = begin + 1;
  for (size_t k = 0; k < n; ++k) {
    ++i;  // the key
    PyRef v = PyRef::steal(tape_to_python(tape, i));
    if (!v || PyDict_SetItem(dict.get(), keys[k], v.get()) < 0) return nullptr;
  }
  i = t.end + 1;
  return dict.release();
}

// The value at token i; i moves past it. Recurses once per nesting level:
// at most kMaxDepth deep, as the tape is.
PyObject* tape_to_python(const json::Tape& tape, size_t& i) {
  const json::Token& t = tape[i];
  switch (t.kind) {
    case json::TokenKind::kNull: ++i; return new_none();
    case json::TokenKind::kTrue: ++i; return new_bool(true);
    case json::TokenKind::kFalse: ++i; return new_bool(false);
    case json::TokenKind::kU64: ++i; return PyLong_FromUnsignedLongLong(t.u64);
    case json::TokenKind::kI64: ++i; return PyLong_FromLongLong(t.i64);
    case json::TokenKind::kDouble: ++i; return PyFloat_FromDouble(t.f64);
    case json::TokenKind::kString:
    case json::TokenKind::kKey: ++i; return to_str(tape.string(t));
    case json::TokenKind::kArrayBegin: {
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(t.count)));
      if (!list) return nullptr;
      ++i;
      for (Py_ssize_t k = 0; i < t.end; ++k) {
        PyObject* item = tape_to_python(tape, i);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), k, item);  // steals item
      }
      i = t.end + 1;
      return list.release();
    }
    case json::TokenKind::kObjectBegin: {
      if (t.count >= kMinShapeMembers && t.count <= kMaxShapeMembers) {
        return object_of_shape(tape, i);
      }
      const size_t begin = i;
      PyRef dict = PyRef::steal(PyDict_New());
      if (!dict) return nullptr;
      ++i;
      std::string_view previous;
      while (i < t.end) {
        const std::string_view key = tape.string(tape[i]);
        if (i != begin + 1 && !bytes::less(previous, key)) {
          // Repeated or unordered keys: the Value sorts them and keeps the
          // last of each, and the dict follows it.
          dict = PyRef::steal(to_python(json::to_value(tape, begin)));
          break;
        }
        previous = key;
        PyRef k = PyRef::steal(key_str(key));
        ++i;
        PyRef v = PyRef::steal(tape_to_python(tape, i));
        if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
      }
      i = t.end + 1;
      return dict.release();
    }
    case json::TokenKind::kArrayEnd:
    case json::TokenKind::kObjectEnd: break;
  }
  ++i;
  return new_none();
}

}  // namespace

PyObject* to_python(const json::Tape& tape, size_t index) { return tape_to_python(tape, index); }

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
