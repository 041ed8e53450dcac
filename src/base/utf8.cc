#include "base/utf8.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dovek::utf8 {
namespace {

// Length of the well-formed sequence that `lead` starts (Unicode table 3-7),
// or 0 when the byte can never start one (0x80..0xC1, 0xF5..0xFF).
inline int sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF5) return 4;
  return 0;
}

// The allowed range of the second byte, which depends on the lead byte: it
// excludes overlong forms (E0, F0), surrogates (ED) and code points above
// U+10FFFF (F4). Later continuation bytes are always 0x80..0xBF.
inline bool second_byte_ok(unsigned char lead, unsigned char b) {
  switch (lead) {
    case 0xE0: return b >= 0xA0 && b <= 0xBF;
    case 0xED: return b >= 0x80 && b <= 0x9F;
    case 0xF0: return b >= 0x90 && b <= 0xBF;
    case 0xF4: return b >= 0x80 && b <= 0x8F;
    default: return b >= 0x80 && b <= 0xBF;
  }
}

inline bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Number of bytes, starting at s[i], that are a well-formed sequence (> 0) or
// the negated length of the maximal ill-formed subpart there (< 0, at least 1
// byte): the longest prefix of a well-formed sequence, or a single byte.
inline int scan(std::string_view s, size_t i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  const int len = sequence_length(lead);
  if (len == 1) return 1;
  if (len == 0) return -1;
  int have = 1;
  while (have < len && i + have < s.size()) {
    const auto b = static_cast<unsigned char>(s[i + have]);
    const bool ok = have == 1 ? second_byte_ok(lead, b) : is_continuation(b);
    if (!ok) break;
    ++have;
  }
  return have == len ? len : -have;
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

namespace {

// The index of the first byte at or after i with its top bit set, or
// s.size(): the ASCII run there, checked 64 and 16 bytes a step where SSE2
// is available, else 8. A run that ends at once (text that is mostly
// multi-byte) is seen without a vector load.
size_t skip_ascii(std::string_view s, size_t i) {
  const char* const p = s.data();
  const size_t n = s.size();
  if (i < n && static_cast<unsigned char>(p[i]) >= 0x80) return i;
#if defined(__SSE2__)
  auto load = [p](size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)); };
  for (; i + 64 <= n; i += 64) {
    const __m128i any =
        _mm_or_si128(_mm_or_si128(load(i), load(i + 16)), _mm_or_si128(load(i + 32), load(i + 48)));
    if (_mm_movemask_epi8(any) != 0) break;
  }
  for (; i + 16 <= n; i += 16) {
    const auto high = static_cast<unsigned>(_mm_movemask_epi8(load(i)));
    if (high != 0) return i + static_cast<size_t>(__builtin_ctz(high));
  }
  if (n >= 16 && i < n) {
    // The last 16 bytes, of which those before i (already checked, or
    // before where the caller began) are masked off.
    const size_t base = n - 16;
    const unsigned high =
        static_cast<unsigned>(_mm_movemask_epi8(load(base))) & (0xFFFFu << (i - base));
    return high != 0 ? base + static_cast<size_t>(__builtin_ctz(high)) : n;
  }
#endif
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    const uint64_t high = word & 0x8080808080808080ULL;  // little-endian: byte k is bits 8k..
    if (high != 0) return i + static_cast<size_t>(__builtin_ctzll(high)) / 8;
  }
  while (i < n && static_cast<unsigned char>(p[i]) < 0x80) ++i;
  return i;
}

}  // namespace

size_t valid_prefix(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    i = skip_ascii(s, i);
    if (i >= s.size()) break;
    const int n = scan(s, i);
    if (n < 0) return i;
    i += static_cast<size_t>(n);
  }
  return s.size();
}


bool is_valid(std::string_view s) { return valid_prefix(s) == s.size(); }

std::string decode_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  size_t run = 0;  // start of the pending run of well-formed bytes
  while (i < bytes.size()) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const int n = scan(bytes, i);
    if (n > 0) {
      i += static_cast<size_t>(n);
      continue;
    }
    out.append(bytes.data() + run, i - run);
    out.append(kReplacement);
    i += static_cast<size_t>(-n);
    run = i;
  }
  out.append(bytes.data() + run, bytes.size() - run);
  return out;
}

char32_t next(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    i += 1;
    return b0;
  }
  if (b0 < 0xE0) {
    char32_t c = ((b0 & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
    i += 2;
    return c;
  }
  if (b0 < 0xF0) {
    char32_t c = ((b0 & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
    i += 3;
    return c;
  }
  char32_t c = ((b0 & 0x07u) << 18) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 12) |
               ((static_cast<unsigned char>(s[i + 2]) & 0x3Fu) << 6) |
               (static_cast<unsigned char>(s[i + 3]) & 0x3Fu);
  i += 4;
  return c;
}

bool is_white_space(char32_t c) {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  switch (c) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000: return true;
    default: return c >= 0x2000 && c <= 0x200A;
  }
}

std::string_view trim_white_space(std::string_view s) {
  size_t begin = 0;
  while (begin < s.size()) {
    size_t j = begin;
    if (!is_white_space(next(s, j))) break;
    begin = j;
  }
  size_t end = s.size();
  while (end > begin) {
    // Step back to the start of the last code point.
    size_t start = end - 1;
    while (start > begin && is_continuation(static_cast<unsigned char>(s[start]))) --start;
    size_t j = start;
    if (!is_white_space(next(s, j))) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

}  // namespace dovek::utf8
