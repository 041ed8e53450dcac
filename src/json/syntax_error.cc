#include "json/syntax_error.h"

#include <charconv>

#include "base/utf8.h"
#include "json/text.h"

namespace dovek::json {
namespace {

// Offset of the first \uDC00..\uDFFF escape not preceded by a high
// surrogate escape in the string token that starts (with its quote) at `start`.
size_t lone_surrogate_offset(std::string_view text, size_t start) {
  size_t p = start + 1;
  while (p + 6 <= text.size() && text[p] != '"') {
    if (text[p] != '\\') {
      ++p;
      continue;
    }
    if (text[p + 1] != 'u') {
      p += 2;
      continue;
    }
    unsigned v = 0;
    std::from_chars(text.data() + p + 2, text.data() + p + 6, v, 16);
    if (v >= 0xDC00 && v <= 0xDFFF) return p;
    p += v >= 0xD800 && v <= 0xDBFF ? 12 : 6;
  }
  return start;
}

}  // namespace

std::string syntax_message(SyntaxError error, size_t offset, std::string_view text, bool in_array) {
  const bool eof = offset >= text.size();
  const char at = eof ? '\0' : text[offset];
  auto after_comma = [&] {
    size_t p = offset;
    while (p > 0 && is_json_space(text[p - 1])) --p;
    return p > 0 && text[p - 1] == ',';
  };
  const char* const kControl = "control character (\\u0000-\\u001F) found while parsing a string";
  switch (error) {
    case SyntaxError::kNoValue: return eof ? "EOF while parsing a value" : "expected value";
    case SyntaxError::kExpectedValue:
      if (eof) return in_array ? "EOF while parsing a list" : "EOF while parsing a value";
      if (at == ']' && after_comma()) return "trailing comma";
      // A minus sign not followed by a digit.
      if (offset > 0 && text[offset - 1] == '-') return "invalid number";
      return "expected value";
    case SyntaxError::kExpectedKey:
      if (eof) return "EOF while parsing an object";
      if (at == '}' && after_comma()) return "trailing comma";
      return "key must be a string";
    case SyntaxError::kExpectedColon: return eof ? "EOF while parsing an object" : "expected `:`";
    case SyntaxError::kExpectedCommaOrBrace:
      return eof ? "EOF while parsing an object" : "expected `,` or `}`";
    case SyntaxError::kExpectedCommaOrBracket:
      return eof ? "EOF while parsing a list" : "expected `,` or `]`";
    case SyntaxError::kBadHexEscape: return "invalid escape";
    case SyntaxError::kBadSurrogatePair:
      // A high surrogate escape followed by an escape that is not a low one.
      if (offset + 8 <= text.size() && text[offset + 6] == '\\' && text[offset + 7] == 'u') {
        return "lone leading surrogate in hex escape";
      }
      return "unexpected end of hex escape";
    case SyntaxError::kBadEscape: return at == '\\' ? "invalid escape" : kControl;
    case SyntaxError::kUnterminatedString: return eof ? "EOF while parsing a string" : kControl;
    case SyntaxError::kMissingFraction:
    case SyntaxError::kMissingExponent: return eof ? "EOF while parsing a value" : "invalid number";
  }
  return "expected value";
}

Error bad_string(std::string_view text, size_t start) {
  size_t p = start + 1;
  while (p < text.size() && text[p] != '"') {
    const auto b = static_cast<unsigned char>(text[p]);
    if (b == '\\') {
      p += 2;
    } else if (b < 0x80) {
      ++p;
    } else {
      const size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
      if (utf8::valid_prefix(text.substr(p, need)) != need) {
        return Error("invalid unicode code point" + position_in(text, p));
      }
      p += need;
    }
  }
  return Error("lone leading surrogate in hex escape" +
               position_in(text, lone_surrogate_offset(text, start)));
}

}  // namespace dovek::json
