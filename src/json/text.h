// Byte-level helpers on JSON text shared by the reader and the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"

namespace dovek::json {

// Fills `out` with `text` followed by kReadPadding NUL bytes, the copy the
// tokenizer reads and decodes strings in. The first NUL ends every scan
// without a bounds check; a NUL inside the text stops reading just as the
// end does, so the caller sees the value end early ("trailing characters")
// or an error at that byte, never a silently shortened document. The rest
// let a scan load a whole vector past any byte of the text.
inline constexpr size_t kReadPadding = 32;
void copy_for_reading(std::string_view text, std::string& out);

inline bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// " at line L column C" for a byte offset of `text` (1-based; the column of
// the byte at the offset). Past the end, the position is that of the last
// byte, as other JSON readers report an unexpected end.
std::string position_in(std::string_view text, size_t offset);

// "trailing characters at line L column C" unless only space, tab, LF or CR
// follow `value_end`.
Status check_trailing_in(std::string_view text, size_t value_end);

// The bytes of the word v (8 or 4 bytes, read from memory) that a JSON
// string cannot hold raw ('"', '\\' or below 0x20), as each byte's top bit.
// A borrow can flag a byte above a match too, but never one below it, so
// the lowest flag is exact, and a word without a match has none.
template <class Word>
inline Word escape_flags(Word v) {
  constexpr Word kOnes = static_cast<Word>(0x0101010101010101ULL);
  constexpr Word kHigh = static_cast<Word>(0x8080808080808080ULL);
  const Word quote = v ^ static_cast<Word>(kOnes * '"');
  const Word backslash = v ^ static_cast<Word>(kOnes * '\\');
  return static_cast<Word>(((v - kOnes * 0x20) | (quote - kOnes) | (backslash - kOnes)) & ~v &
                           kHigh);
}

// The first byte in [p, end) that a JSON string cannot hold raw ('"', '\\'
// or below 0x20), or end. Prompts and skill contents are long runs of plain
// text, so sixteen bytes are checked per step where SSE2 is available
// (always on x86-64).
const char* find_escape(const char* p, const char* end);

}  // namespace dovek::json
