#include "binding/key_cache.h"

#include <algorithm>

namespace dovek::binding {

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

}  // namespace dovek::binding
