// Byte-string comparisons done inline with word loads, where calls to memcmp
// would cost more than the comparison itself: equality of the short strings
// that decoders compare all the time (record keys, tags, ids), and the length
// of the common start of two texts.
#pragma once

#include <bit>
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

namespace detail {
// The index of the lowest-addressed differing byte of two words that differ.
inline size_t first_difference(uint64_t diff) {
  const int bit =
      std::endian::native == std::endian::little ? std::countr_zero(diff) : std::countl_zero(diff);
  return static_cast<size_t>(bit / 8);
}
}  // namespace detail

// The number of leading bytes a and b have in common, found 16 bytes a step
// (then 8, then 4): the first differing word's lowest differing byte ends
// the run.
inline size_t common_prefix(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  const char* p = a.data();
  const char* q = b.data();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const uint64_t low = detail::load8(p + i) ^ detail::load8(q + i);
    const uint64_t high = detail::load8(p + i + 8) ^ detail::load8(q + i + 8);
    if ((low | high) != 0) {
      return low != 0 ? i + detail::first_difference(low) : i + 8 + detail::first_difference(high);
    }
  }
  if (i + 8 <= n) {
    const uint64_t diff = detail::load8(p + i) ^ detail::load8(q + i);
    if (diff != 0) return i + detail::first_difference(diff);
    i += 8;
  }
  if (i + 4 <= n) {
    uint64_t diff = detail::load4(p + i) ^ detail::load4(q + i);
    if constexpr (std::endian::native != std::endian::little) diff <<= 32;  // bytes on top
    if (diff != 0) return i + detail::first_difference(diff);
    i += 4;
  }
  while (i < n && p[i] == q[i]) ++i;
  return i;
}

// a < b in unsigned byte order, a shorter prefix first (as std::string
// orders them), without a call to memcmp for short strings.
inline bool less(std::string_view a, std::string_view b) {
  const size_t i = common_prefix(a, b);
  if (i == a.size() || i == b.size()) return a.size() < b.size();
  return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
}

}  // namespace dovek::bytes
