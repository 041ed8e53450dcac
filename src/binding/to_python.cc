#include "binding/to_python.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/bytes.h"
#include "binding/key_cache.h"
#include "binding/py.h"
#include "json/parse.h"
#include "json/token.h"

namespace dovek::binding {

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

}  // namespace dovek::binding
