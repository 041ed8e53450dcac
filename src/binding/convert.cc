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
// up to kMaxShapeMembers whose keys ascend. A shape is found by the keys'
// bytes as read: its set of two shapes comes from the member count and
// the first two keys (objects that differ only in later keys, such as
// records of two kinds, share a set), and a match compares every key's
// bytes with the ones the shape kept, so that no key str is made or looked
// up on the way. A shape gets its dict when it misses its set a second time
// while the set remembers its first miss, so that objects whose keys never
// repeat cost one hash, not a dict each. Guarded like the key cache; the
// dicts are never released at exit.
constexpr size_t kMinShapeMembers = 6;
constexpr size_t kMaxShapeMembers = 64;
constexpr size_t kMaxShapeKeyBytes = 1024;
constexpr size_t kShapeSets = 32;

struct Shape {
  PyObject* dict = nullptr;  // strong reference; its keys are never changed
  size_t size = 0;           // members of the dict
  PyObject* keys[kMaxShapeMembers];      // the dict's keys in order, borrowed from it
  uint32_t key_sizes[kMaxShapeMembers];  // their UTF-8 sizes
  char key_bytes[kMaxShapeKeyBytes];     // their UTF-8 bytes, one after the other
};

struct ShapeSet {
  Shape ways[2];
  uint64_t missed[2] = {0, 0};  // hashes of the keys of the last two objects that missed
  uint8_t next_missed = 0;      // the entry of `missed` to overwrite next
  uint8_t victim = 0;           // the way used least recently, to be replaced next
};

ShapeSet g_shapes[kShapeSets];

// The set of an object of `n` members whose first two keys are `first` and
// `second`.
ShapeSet& shape_set(size_t n, std::string_view first, std::string_view second) {
  const uint64_t h = (uint64_t{key_hash(first)} << 20 ^ key_hash(second)) + n * 0x9E3779B97F4A7C15u;
  return g_shapes[(h ^ h >> 32) % kShapeSets];
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

PyObject* list_at(const json::Tape& tape, size_t i);
PyObject* object_at(const json::Tape& tape, size_t i);

bool is_container(const json::Token& t) {
  return t.kind == json::TokenKind::kArrayBegin || t.kind == json::TokenKind::kObjectBegin;
}

// The index just past the value that starts at token i.
size_t past_value(const json::Token* tokens, size_t i) {
  return is_container(tokens[i]) ? tokens[i].end + 1 : i + 1;
}

// A str of `text` (valid UTF-8). Text of ASCII only is copied as Latin-1,
// which takes its bytes as they are: that costs less than decoding UTF-8,
// which scans for the first byte past ASCII before it copies.
inline PyObject* text_str(std::string_view text) {
  const char* p = text.data();
  const size_t n = text.size();
  uint64_t bits = 0;
  if (n >= 8) {
    // Words that overlap: the last one ends where the text does.
    size_t k = 0;
    for (; k + 8 < n; k += 8) {
      uint64_t w;
      std::memcpy(&w, p + k, 8);
      bits |= w;
    }
    uint64_t last;
    std::memcpy(&last, p + n - 8, 8);
    bits |= last;
  } else if (n >= 4) {
    uint32_t first, last;
    std::memcpy(&first, p, 4);
    std::memcpy(&last, p + n - 4, 4);
    bits = first | last;
  } else {
    for (size_t k = 0; k < n; ++k) bits |= static_cast<uint8_t>(p[k]);
  }
  if ((bits & 0x8080808080808080u) != 0) return to_str(text);
  return PyUnicode_DecodeLatin1(p, static_cast<Py_ssize_t>(n), nullptr);
}

// The object of a token that is no container: a new reference, or nullptr
// with a Python error set. Inlined into the loops over members and
// elements, where most tokens are scalars.
inline PyObject* scalar(const json::Tape& tape, const json::Token& t) {
  switch (t.kind) {
    case json::TokenKind::kNull: return new_none();
    case json::TokenKind::kTrue: return new_bool(true);
    case json::TokenKind::kFalse: return new_bool(false);
    case json::TokenKind::kU64: return PyLong_FromUnsignedLongLong(t.u64);
    case json::TokenKind::kI64: return PyLong_FromLongLong(t.i64);
    case json::TokenKind::kDouble: return PyFloat_FromDouble(t.f64);
    case json::TokenKind::kString:
    case json::TokenKind::kKey: return text_str(tape.string(t));
    default: return new_none();  // a container's end: no value starts there
  }
}

// The value at token i. Recurses once per nesting level: at most
// kMaxDepth deep, as the tape is.
inline PyObject* value_at(const json::Tape& tape, size_t i) {
  const json::Token& t = tape[i];
  if (t.kind == json::TokenKind::kArrayBegin) return list_at(tape, i);
  if (t.kind == json::TokenKind::kObjectBegin) return object_at(tape, i);
  return scalar(tape, t);
}

PyObject* list_at(const json::Tape& tape, size_t i) {
  const json::Token* tokens = tape.tokens().data();
  const size_t end = tokens[i].end;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(tokens[i].count)));
  if (!list) return nullptr;
  Py_ssize_t k = 0;
  for (size_t j = i + 1; j < end; ++k) {
    const json::Token& e = tokens[j];
    PyObject* item;
    if (e.kind == json::TokenKind::kArrayBegin) {
      item = list_at(tape, j);
      j = e.end + 1;
    } else if (e.kind == json::TokenKind::kObjectBegin) {
      item = object_at(tape, j);
      j = e.end + 1;
    } else {
      item = scalar(tape, e);
      ++j;
    }
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), k, item);  // steals item
  }
  return list.release();
}

// Sets the values of the object at token `begin` in `dict`, member k under
// keys[k] (borrowed); false with a Python error set.
bool set_values(const json::Tape& tape, size_t begin, PyObject* dict, PyObject* const* keys) {
  const json::Token* tokens = tape.tokens().data();
  const size_t end = tokens[begin].end;
  size_t k = 0;
  for (size_t j = begin + 1; j < end; ++k) {
    ++j;  // the key
    PyRef v = PyRef::steal(value_at(tape, j));
    if (!v || PyDict_SetItem(dict, keys[k], v.get()) < 0) return false;
    j = past_value(tokens, j);
  }
  return true;
}

// Whether the keys of the object at token `begin` are byte for byte those
// of `shape` (which has as many members as the object).
bool has_keys_of(const json::Tape& tape, size_t begin, const Shape& shape) {
  const json::Token* tokens = tape.tokens().data();
  const size_t end = tokens[begin].end;
  const char* stored = shape.key_bytes;
  size_t k = 0;
  for (size_t j = begin + 1; j < end; j = past_value(tokens, j + 1), ++k) {
    const size_t size = shape.key_sizes[k];
    if (!bytes::equal(tape.string(tokens[j]), std::string_view(stored, size))) return false;
    stored += size;
  }
  return true;
}

// Keeps `dict` (holding `keys` in order, each with the value None) as the
// shape in `slot`, unless the keys' bytes do not fit it; whether it did.
// Takes a reference to `dict`.
bool keep_shape(Shape& slot, const json::Tape& tape, size_t begin, PyObject* dict,
                PyObject* const* keys, size_t n) {
  const json::Token* tokens = tape.tokens().data();
  const size_t end = tokens[begin].end;
  size_t bytes = 0;
  for (size_t j = begin + 1; j < end; j = past_value(tokens, j + 1)) {
    bytes += tokens[j].str.size;
  }
  if (bytes > kMaxShapeKeyBytes) return false;  // the slot keeps the shape it has
  bytes = 0;
  size_t k = 0;
  for (size_t j = begin + 1; j < end; j = past_value(tokens, j + 1), ++k) {
    const std::string_view key = tape.string(tokens[j]);
    slot.key_sizes[k] = static_cast<uint32_t>(key.size());
    std::memcpy(slot.key_bytes + bytes, key.data(), key.size());
    bytes += key.size();
  }
  std::copy(keys, keys + n, slot.keys);
  slot.size = n;
  Py_INCREF(dict);
  // A dict of strs and None runs no Python code when freed.
  Py_XDECREF(std::exchange(slot.dict, dict));
  return true;
}

// The object at token i, of kMinShapeMembers to kMaxShapeMembers members.
// Its dict is a copy of its shape's when the keys match one; else the keys
// are read (objects whose keys do not ascend go the way of the Value, as in
// object_at) and, on the shape's second miss, become its dict.
PyObject* object_of_shape(const json::Tape& tape, size_t i) {
  const json::Token* tokens = tape.tokens().data();
  const json::Token& t = tokens[i];
  const size_t n = t.count;
  ShapeSet& set =
      shape_set(n, tape.string(tokens[i + 1]), tape.string(tokens[past_value(tokens, i + 2)]));
  PyObject* keys[kMaxShapeMembers];
  for (uint8_t w = 0; w < 2; ++w) {
    const Shape& slot = set.ways[w];
    if (slot.dict == nullptr || slot.size != n || !has_keys_of(tape, i, slot)) continue;
    set.victim = w ^ 1;
    // The slot's dict stays alive with its keys (which it never changes),
    // whatever converting the values may do to the slot.
    PyRef shape = PyRef::borrow(slot.dict);
    std::copy(slot.keys, slot.keys + n, keys);
    PyRef dict = PyRef::steal(PyDict_Copy(shape.get()));
    if (!dict || !set_values(tape, i, dict.get(), keys)) return nullptr;
    return dict.release();
  }
  size_t made = 0;  // keys[0, made) are strong references
  struct Release {
    PyObject** keys;
    size_t& made;
    ~Release() {
      for (size_t k = 0; k < made; ++k) Py_DECREF(keys[k]);
    }
  } release{keys, made};
  const bool ascending = tokens[t.end].written_form;
  std::string_view previous;
  uint64_t hash = n;
  for (size_t j = i + 1; j < t.end; j = past_value(tokens, j + 1)) {
    const std::string_view key = tape.string(tokens[j]);
    if (!ascending) {
      if (j != i + 1 && !bytes::less(previous, key)) return to_python(json::to_value(tape, i));
      previous = key;
    }
    hash = (hash ^ key_hash(key) ^ key.size() << 40) * 0x9E3779B97F4A7C15u;
    if ((keys[made] = key_str(key)) == nullptr) return nullptr;
    ++made;
  }
  const bool second_miss = set.missed[0] == hash || set.missed[1] == hash;
  if (!second_miss) {
    set.missed[set.next_missed] = hash;
    set.next_missed ^= 1;
  }
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (size_t k = 0; k < n; ++k) {
    if (PyDict_SetItem(dict.get(), keys[k], Py_None) < 0) return nullptr;
  }
  if (second_miss && keep_shape(set.ways[set.victim], tape, i, dict.get(), keys, n)) {
    set.victim ^= 1;
    dict = PyRef::steal(PyDict_Copy(dict.get()));  // the kept one stays as it is
    if (!dict) return nullptr;
  }
  if (!set_values(tape, i, dict.get(), keys)) return nullptr;
  return dict.release();
}

// The object at token i.
PyObject* object_at(const json::Tape& tape, size_t i) {
  const json::Token* tokens = tape.tokens().data();
  const json::Token& t = tokens[i];
  if (t.count >= kMinShapeMembers && t.count <= kMaxShapeMembers) {
    return object_of_shape(tape, i);
  }
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  std::string_view previous;
  for (size_t j = i + 1; j < t.end; j = past_value(tokens, j + 1)) {
    const std::string_view key = tape.string(tokens[j]);
    if (j != i + 1 && !bytes::less(previous, key)) {
      // Repeated or unordered keys: the Value sorts them and keeps the
      // last of each, and the dict follows it.
      return to_python(json::to_value(tape, i));
    }
    previous = key;
    PyRef k = PyRef::steal(key_str(key));
    PyRef v = PyRef::steal(value_at(tape, j + 1));
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* to_python(const json::Tape& tape, size_t index) { return value_at(tape, index); }

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
