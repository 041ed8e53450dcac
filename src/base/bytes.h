// Byte-string equality for the short strings that decoders compare all the
// time (record keys, tags, ids): inline, with a few word loads, where a call
// to memcmp would cost more than the comparison itself.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace dovek::bytes {

namespace detail {
inline uint64_t load8(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint32_t load4(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
}  // namespace detail

// a == b. Reads only the bytes of a and b: strings of 4 to 16 bytes are
// compared as two overlapping words from each end.
inline bool equal(std::string_view a, std::string_view b) {
  const size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  if (n >= 8) {
    if (n > 16) return std::memcmp(p, q, n) == 0;
    return detail::load8(p) == detail::load8(q) &&
           detail::load8(p + n - 8) == detail::load8(q + n - 8);
  }
  if (n >= 4) {
    return detail::load4(p) == detail::load4(q) &&
           detail::load4(p + n - 4) == detail::load4(q + n - 4);
  }
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != q[i]) return false;
  }
  return true;
}

}  // namespace dovek::bytes
