// The two caches that converting JSON to Python keeps from one conversion
// to the next: the str objects of short object keys, and dicts of the same
// keys ("shapes"). Both are touched only with the thread state held, which
// guards them (the module serves one interpreter per process); what they
// hold is never released at exit: it is the interpreter's, and it may be
// gone by then.
// REQUIRES (all): the calling thread holds the thread state.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "base/bytes.h"
#include "binding/py.h"
#include "json/tape.h"
#include "json/token.h"

namespace dovek::binding {

// The str objects of short object keys, kept from one conversion to the next
// in a small direct-mapped cache: a tool's inputs share their shape, so
// their keys repeat, and a str that is reused costs no allocation and no
// decoding.
constexpr size_t kCachedKeyBytes = 24;
constexpr size_t kKeyCacheSlots = 512;

struct CachedKey {
  PyObject* str = nullptr;  // strong reference
  uint8_t size = 0;
  char bytes[kCachedKeyBytes];
};

inline CachedKey g_key_cache[kKeyCacheSlots];

// A hash of a key of at most kCachedKeyBytes from a few word loads (the
// first and last bytes, the length), not a loop over every byte: keys that
// repeat are short, and this runs for every member converted.
inline uint32_t key_hash(std::string_view key) {
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

// A new reference to a str of `key` (valid UTF-8), from the cache when it
// holds one; nullptr with an exception set.
inline PyObject* key_str(std::string_view key) {
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
// repeat cost one hash, not a dict each.
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

inline ShapeSet g_shapes[kShapeSets];

// The set of an object of `n` members whose first two keys are `first` and
// `second`.
inline ShapeSet& shape_set(size_t n, std::string_view first, std::string_view second) {
  const uint64_t h = (uint64_t{key_hash(first)} << 20 ^ key_hash(second)) + n * 0x9E3779B97F4A7C15u;
  return g_shapes[(h ^ h >> 32) % kShapeSets];
}

inline bool is_container(const json::Token& t) {
  return t.kind == json::TokenKind::kArrayBegin || t.kind == json::TokenKind::kObjectBegin;
}

// The index just past the value that starts at token i.
inline size_t past_value(const json::Token* tokens, size_t i) {
  return is_container(tokens[i]) ? tokens[i].end + 1 : i + 1;
}

// Whether the keys of the object at token `begin` are byte for byte those
// of `shape` (which has as many members as the object).
inline bool has_keys_of(const json::Tape& tape, size_t begin, const Shape& shape) {
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
                PyObject* const* keys, size_t n);

}  // namespace dovek::binding
