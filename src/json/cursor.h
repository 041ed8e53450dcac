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
#include <utility>
#include <vector>

#include "base/bytes.h"
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

  // Past the current value.
  void skip() {
    const Token& t = token();
    i_ = (t.kind == TokenKind::kArrayBegin || t.kind == TokenKind::kObjectBegin) ? t.end + 1
                                                                                 : i_ + 1;
  }
  Result<std::string> string();                       // "a string"
  Result<std::optional<std::string>> optional_string();  // null -> nullopt
  Result<bool> boolean();                             // "a boolean"
  Result<uint32_t> u32();  // integers 0..2^32-1; "invalid value: integer `-1`, expected u32";
                           // doubles are "invalid type: floating point `1.0`, expected u32"
  Result<std::vector<std::string>> string_array();  // "a sequence" of strings
  // The same three straight into a record's field, sparing the moves of a
  // returned string (a call to memcpy each, for short ones); on error the
  // field is left as it was.
  [[nodiscard]] Status string(std::string& out);
  [[nodiscard]] Status optional_string(std::optional<std::string>& out);
  [[nodiscard]] Status string_array(std::vector<std::string>& out);
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
  // The callable is a template parameter (not std::function) because this
  // runs once per field of every command: no allocation, inlined calls.
  template <class OnField>
  Status record(const RecordShape& shape, OnField&& on_field);

 private:
  template <class OnField>
  Status record_object(const RecordShape& shape, OnField& on_field);
  template <class OnField>
  Status record_array(const RecordShape& shape, OnField& on_field);

  // Index of `key` in shape.fields, or shape.fields.size() when unknown.
  static size_t field_index(const RecordShape& shape, std::string_view key) {
    const size_t n_fields = shape.fields.size();
    for (size_t k = 0; k < n_fields; ++k) {
      if (bytes::equal(shape.fields[k], key)) return k;
    }
    return n_fields;
  }
  Error duplicate_field(std::string_view key) const;
  // The first required field absent from `seen`, as an error; ok when none.
  Status check_required(const RecordShape& shape, uint64_t seen) const;
  Status check_array_length(const RecordShape& shape, size_t count) const;

  const Tape* tape_;
  size_t i_;
  bool positions_;
};

template <class OnField>
Status Cursor::record(const RecordShape& shape, OnField&& on_field) {
  switch (kind()) {
    case TokenKind::kObjectBegin: return record_object(shape, on_field);
    case TokenKind::kArrayBegin: return record_array(shape, on_field);
    default: return invalid_type(shape.description);
  }
}

template <class OnField>
Status Cursor::record_object(const RecordShape& shape, OnField& on_field) {
  const size_t end = token().end;
  const size_t n_fields = shape.fields.size();
  uint64_t seen = 0;
  ++i_;
  while (i_ < end) {
    const std::string_view key = tape_->string(token());
    const size_t field = field_index(shape, key);
    if (field == n_fields) {
      ++i_;
      skip();
      continue;
    }
    if (seen & (uint64_t{1} << field)) return duplicate_field(key);
    seen |= uint64_t{1} << field;
    ++i_;
    Cursor sub(*tape_, i_, positions_);
    skip();  // wherever the field decoder stops, the next member follows its value
    DOVEK_TRY(on_field(field, sub));
  }
  DOVEK_TRY(check_required(shape, seen));
  i_ = end + 1;
  return ok_status();
}

template <class OnField>
Status Cursor::record_array(const RecordShape& shape, OnField& on_field) {
  const size_t end = token().end;
  const size_t n_fields = shape.fields.size();
  size_t count = 0;
  ++i_;
  while (i_ < end) {
    if (count < n_fields) {
      Cursor sub(*tape_, i_, positions_);
      skip();
      DOVEK_TRY(on_field(count, sub));
    } else {
      skip();
    }
    ++count;
  }
  DOVEK_TRY(check_array_length(shape, count));
  i_ = end + 1;
  return ok_status();
}

// Moves a decoded value into `field`, or passes the decoder's error on: the
// step every record decoder takes for each of its fields.
template <class T>
Status assign(T& field, Result<T> decoded) {
  if (!decoded.ok()) return std::move(decoded).error();
  field = std::move(decoded).value();
  return ok_status();
}

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
