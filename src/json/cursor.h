// The typed decoding toolkit: a read position in a tape from which record
// decoders take fields, with serde-style cause texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "json/tape.h"
#include "json/value.h"

namespace dovek::json {

// How a record looks to the decoder, for cause texts and the array form.
struct RecordShape {
  std::string_view description;              // "struct Skill"
  std::span<const std::string_view> fields;  // JSON keys in declaration order
  uint64_t required;                         // bit i: field i required in object form
  size_t min_array_len;                      // array form: fewer elements fail
};

// A read position in a tape, for typed decoders. Each accessor consumes one
// whole value and fails with a serde-style cause text:
//   "invalid type: null, expected a string", "missing field `x`",
//   "duplicate field `x`", "invalid length 1, expected struct Model with 2 elements",
//   "invalid length 3, expected 2 elements in sequence".
// With positions on, every error gets " at line L column C" of the token at
// which it was found (the closing token for a missing field).
// Thread safety: none; the tape it reads must outlive it.
class Cursor {
 public:
  Cursor(const Tape& tape, size_t index, bool positions)
      : tape_(&tape), i_(index), positions_(positions) {}

  const Tape& tape() const { return *tape_; }
  size_t index() const { return i_; }
  const Token& token() const { return (*tape_)[i_]; }
  TokenKind kind() const { return token().kind; }
  bool is_null() const { return kind() == TokenKind::kNull; }

  // Describes the current value as serde does: "null", "boolean `true`",
  // "integer `5`", "integer `-5`", "floating point `1.5`", "string \"x\"",
  // "sequence", "map".
  std::string found() const;
  // An error at the current token (position appended when enabled).
  Error error(std::string message) const;
  // "invalid type: {found}, expected {expected}" at the current token.
  Error invalid_type(std::string_view expected) const;

  void skip();  // past the current value
  Result<std::string> string();                       // "a string"
  Result<std::optional<std::string>> optional_string();  // null -> nullopt
  Result<bool> boolean();                             // "a boolean"
  Result<uint32_t> u32();  // integers 0..2^32-1; "invalid value: integer `-1`, expected u32";
                           // doubles are "invalid type: floating point `1.0`, expected u32"
  Result<std::vector<std::string>> string_array();  // "a sequence" of strings
  Value value();  // any value, consumed

  // A unit enum: a string naming one of `names`, or an object with exactly
  // one member whose key is one of them and whose value is null. Returns the
  // index. Unknown names fail with "unknown variant `{s}`, expected {expected}"
  // where expected is e.g. "one of `system`, `user`, `external`".
  Result<size_t> unit_variant(std::span<const std::string_view> names, std::string_view expected);

  // A record in object or array form. `on_field(i, cursor)` decodes field i
  // and must consume exactly its value. Object form: members in text order,
  // unknown keys skipped, a repeated known key fails "duplicate field `k`",
  // afterwards the first missing required field (declaration order) fails.
  // Array form: positional, fewer than min_array_len elements fail
  // "invalid length n, expected {description} with N element(s)", more than
  // fields.size() fail "invalid length n, expected N element(s) in sequence".
  // Other kinds: "invalid type: {found}, expected {description}".
  Status record(const RecordShape& shape, const std::function<Status(size_t, Cursor&)>& on_field);

 private:
  Status record_object(const RecordShape& shape,
                       const std::function<Status(size_t, Cursor&)>& on_field);
  Status record_array(const RecordShape& shape,
                      const std::function<Status(size_t, Cursor&)>& on_field);

  const Tape* tape_;
  size_t i_;
  bool positions_;
};

// Reads `text`, runs `decode` on a cursor at the value, then checks for
// trailing characters: syntax errors first, then decode errors, then
// trailing characters.
template <class T>
Result<T> decode_text(std::string_view text, bool positions,
                      const std::function<Result<T>(Cursor&)>& decode) {
  DOVEK_ASSIGN_OR_RETURN(Tape tape, Tape::read(text));
  Cursor cursor(tape, 0, positions);
  DOVEK_ASSIGN_OR_RETURN(T value, decode(cursor));
  DOVEK_TRY(tape.check_trailing());
  return value;
}

}  // namespace dovek::json
