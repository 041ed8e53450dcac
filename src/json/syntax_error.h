// The texts of syntax errors: which rule of the grammar the tokenizer found
// broken, turned into the message a caller sees (without the position).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"

namespace dovek::json {

enum class SyntaxError : uint8_t {
  kNoValue,                // nothing but whitespace, or a closer, where the text must start
  kExpectedValue,          // no value where one must be (also a lone '-')
  kExpectedKey,            // no string where a member key must be (also "{...,}")
  kExpectedColon,
  kExpectedCommaOrBrace,
  kExpectedCommaOrBracket,
  kBadEscape,              // a backslash not followed by a known escape, or a raw control byte
  kBadHexEscape,           // \u not followed by four hex digits
  kBadSurrogatePair,       // a high surrogate escape not followed by a low one
  kUnterminatedString,     // a NUL byte (or the end) inside a string
  kMissingFraction,        // "1." not followed by a digit
  kMissingExponent,        // "1e" not followed by a digit
};

// The message for `error` found at byte `offset` of `text`; `in_array`: the
// innermost open container is an array. Some texts depend on the bytes
// around the offset ("trailing comma", "invalid number", end of text).
std::string syntax_message(SyntaxError error, size_t offset, std::string_view text, bool in_array);

// Why the string token starting (with its quote) at `start` decoded to bytes
// that are not UTF-8, with the position: a bad byte in the raw text
// ("invalid unicode code point") or a low surrogate escape without a high one
// before it ("lone leading surrogate in hex escape").
Error bad_string(std::string_view text, size_t start);

}  // namespace dovek::json
