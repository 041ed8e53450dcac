// The unit of a token tape: one JSON value, key or container bracket with the
// byte offset where it starts in the text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dovek::json {

// Containers nest at most this deep ("recursion limit exceeded" on the next).
inline constexpr int kMaxDepth = 127;

enum class TokenKind : uint8_t {
  kNull,
  kTrue,
  kFalse,
  kU64,
  kI64,
  kDouble,
  kString,
  kArrayBegin,
  kArrayEnd,
  kObjectBegin,
  kObjectEnd,
  kKey,  // an object member's key; its value follows as the next token(s)
};

struct Token {
  TokenKind kind;
  // kArrayBegin/kObjectBegin and their ends: elements / members. kDouble:
  // the length of its text when that is exactly what Writer::f64 writes for
  // its value, else 0.
  uint32_t count;
  size_t offset;   // byte offset of the token in the text (for positions)
  union {
    uint64_t u64;
    int64_t i64;
    double f64;
    struct {
      size_t begin, size;
    } str;  // kString, kKey: bytes in the reading buffer
    size_t end;  // kArrayBegin, kObjectBegin: index of the matching end token
    // kArrayEnd, kObjectEnd: whether the container's text, from its begin
    // token's offset through this token's bracket, is byte for byte what
    // Writer writes for the value read (no whitespace, no escape, numbers in
    // the writer's form, object keys strictly ascending), so that writing
    // the value may copy that text.
    bool written_form;
  };
};

}  // namespace dovek::json
