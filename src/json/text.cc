#include "json/text.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace dovek::json {

void copy_for_reading(std::string_view text, std::string& out) {
  out.reserve(text.size() + kReadPadding);
  out.append(text);
  out.append(kReadPadding, '\0');
}

std::string position_in(std::string_view text, size_t offset) {
  const bool at_end = offset >= text.size();
  if (at_end) offset = text.size();
  size_t line = 1;
  size_t line_start = 0;
  for (size_t p = 0; p < offset; ++p) {
    if (text[p] == '\n') {
      ++line;
      line_start = p + 1;
    }
  }
  const size_t column = offset - line_start + (at_end ? 0 : 1);
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

Status check_trailing_in(std::string_view text, size_t value_end) {
  for (size_t p = value_end; p < text.size(); ++p) {
    if (!is_json_space(text[p])) return Error("trailing characters" + position_in(text, p));
  }
  return ok_status();
}

namespace {

// SSE2 (16 bytes a step), then 8, then 1.
[[gnu::always_inline]] inline const char* find_escape_16(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i max_control = _mm_set1_epi8(0x1F);
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Unsigned v <= 0x1F exactly when min(v, 0x1F) == v.
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, max_control), v);
    const __m128i hits =
        _mm_or_si128(control, _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
    const int mask = _mm_movemask_epi8(hits);
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
  }
#endif
  // Eight bytes per step for what is left (and for whole short strings).
  for (; end - p >= 8; p += 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    const uint64_t hits = escape_flags(v);
    if (hits != 0) return p + __builtin_ctzll(hits) / 8;
  }
  for (; p != end; ++p) {
    const auto b = static_cast<unsigned char>(*p);
    if (b < 0x20 || b == '"' || b == '\\') return p;
  }
  return end;
}

#if defined(__x86_64__)
// 32 bytes per step where the processor has AVX2 (checked once at run time;
// the build targets plain x86-64). Long texts, prompts and documents, spend
// most of their reading and writing time in this scan.
__attribute__((target("avx2"))) const char* find_escape_32(const char* p, const char* end) {
  const __m256i quote = _mm256_set1_epi8('"');
  const __m256i backslash = _mm256_set1_epi8('\\');
  const __m256i max_control = _mm256_set1_epi8(0x1F);
  for (; end - p >= 32; p += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i control = _mm256_cmpeq_epi8(_mm256_min_epu8(v, max_control), v);
    const __m256i hits = _mm256_or_si256(control, _mm256_or_si256(_mm256_cmpeq_epi8(v, quote),
                                                                  _mm256_cmpeq_epi8(v, backslash)));
    const auto mask = static_cast<unsigned>(_mm256_movemask_epi8(hits));
    if (mask != 0) return p + __builtin_ctz(mask);
  }
  return find_escape_16(p, end);
}

bool has_avx2() {
  static const bool kHas = __builtin_cpu_supports("avx2");
  return kHas;
}
#endif

}  // namespace

const char* find_escape(const char* p, const char* end) {
#if defined(__x86_64__)
  // Most strings end within their first 32 bytes: those are scanned the
  // narrow way, and only a longer stretch switches to the wide scan.
  constexpr ptrdiff_t kNarrow = 32;
  if (end - p >= 3 * kNarrow) {
    const char* const hit = find_escape_16(p, p + kNarrow);
    if (hit != p + kNarrow) return hit;
    if (has_avx2()) return find_escape_32(p + kNarrow, end);
    return find_escape_16(p + kNarrow, end);
  }
#endif
  return find_escape_16(p, end);
}

}  // namespace dovek::json
