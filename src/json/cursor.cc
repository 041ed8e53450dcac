#include "json/cursor.h"

#include <limits>
#include <utility>

#include "json/parse.h"
#include "json/write.h"

namespace dovek::json {
namespace {

// A string as a debug literal: quoted, with quote, backslash and control
// characters escaped.
std::string debug_string(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (b < 0x20 || b == 0x7F) {
          static const char kHex[] = "0123456789abcdef";
          out += "\\u{";
          if (b >= 0x10) out += kHex[b >> 4];
          out += kHex[b & 0xF];
          out += '}';
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string elements(size_t n) { return n == 1 ? "1 element" : std::to_string(n) + " elements"; }

}  // namespace

std::string Cursor::found() const {
  const Token& t = token();
  switch (t.kind) {
    case TokenKind::kNull: return "null";
    case TokenKind::kTrue: return "boolean `true`";
    case TokenKind::kFalse: return "boolean `false`";
    case TokenKind::kU64: return "integer `" + std::to_string(t.u64) + "`";
    case TokenKind::kI64: return "integer `" + std::to_string(t.i64) + "`";
    case TokenKind::kDouble: {
      std::string out = "floating point `";
      append_plain_double(out, t.f64);  // a tape holds finite doubles only
      return out += '`';
    }
    case TokenKind::kString:
    case TokenKind::kKey: return "string " + debug_string(tape_->string(t));
    case TokenKind::kArrayBegin: return "sequence";
    case TokenKind::kObjectBegin: return "map";
    case TokenKind::kArrayEnd:
    case TokenKind::kObjectEnd: break;
  }
  return "end of container";
}

Error Cursor::error(std::string message) const {
  if (positions_) {
    message += tape_->position(i_ < tape_->size() ? token().offset : tape_->text().size());
  }
  return Error(std::move(message));
}

Error Cursor::invalid_type(std::string_view expected) const {
  std::string message = "invalid type: " + found() + ", expected ";
  message += expected;
  return error(std::move(message));
}

Status Cursor::string(std::string& out) {
  if (kind() != TokenKind::kString) return invalid_type("a string");
  out.assign(tape_->string(token()));
  ++i_;
  return ok_status();
}

Result<std::string> Cursor::string() {
  std::string s;
  DOVEK_TRY(string(s));
  return s;
}

Status Cursor::optional_string(std::optional<std::string>& out) {
  if (is_null()) {
    ++i_;
    out.reset();
    return ok_status();
  }
  if (kind() != TokenKind::kString) return invalid_type("a string");
  out.emplace(tape_->string(token()));
  ++i_;
  return ok_status();
}

Result<std::optional<std::string>> Cursor::optional_string() {
  std::optional<std::string> s;
  DOVEK_TRY(optional_string(s));
  return s;
}

Result<bool> Cursor::boolean() {
  if (kind() == TokenKind::kTrue || kind() == TokenKind::kFalse) {
    const bool b = kind() == TokenKind::kTrue;
    ++i_;
    return b;
  }
  return invalid_type("a boolean");
}

Result<uint32_t> Cursor::u32() {
  const Token& t = token();
  if (t.kind == TokenKind::kU64) {
    if (t.u64 > std::numeric_limits<uint32_t>::max()) {
      return error("invalid value: integer `" + std::to_string(t.u64) + "`, expected u32");
    }
    ++i_;
    return static_cast<uint32_t>(t.u64);
  }
  if (t.kind == TokenKind::kI64) {
    return error("invalid value: integer `" + std::to_string(t.i64) + "`, expected u32");
  }
  return invalid_type("u32");
}

Status Cursor::string_array(std::vector<std::string>& out) {
  if (kind() != TokenKind::kArrayBegin) return invalid_type("a sequence");
  const size_t end = token().end;
  std::vector<std::string> items;
  items.reserve(token().count);
  ++i_;
  while (i_ < end) DOVEK_TRY(string(items.emplace_back()));
  i_ = end + 1;
  out = std::move(items);
  return ok_status();
}

Result<std::vector<std::string>> Cursor::string_array() {
  std::vector<std::string> out;
  DOVEK_TRY(string_array(out));
  return out;
}

Value Cursor::value() {
  Value v = to_value(*tape_, i_);
  skip();
  return v;
}

Result<size_t> Cursor::unit_variant(std::span<const std::string_view> names,
                                    std::string_view expected) {
  auto lookup = [&](std::string_view s) -> Result<size_t> {
    for (size_t k = 0; k < names.size(); ++k) {
      if (names[k] == s) return k;
    }
    std::string message = "unknown variant `";
    message += s;
    message += "`, expected ";
    message += expected;
    return error(std::move(message));
  };
  const Token& t = token();
  if (t.kind == TokenKind::kString) {
    DOVEK_ASSIGN_OR_RETURN(size_t index, lookup(tape_->string(t)));
    ++i_;
    return index;
  }
  if (t.kind == TokenKind::kObjectBegin) {
    // {"name": null}: exactly one member, whose value is null.
    const size_t end = t.end;
    if (i_ + 1 == end) {
      i_ = end;
      return error("expected value");
    }
    ++i_;  // the key
    DOVEK_ASSIGN_OR_RETURN(size_t index, lookup(tape_->string(token())));
    ++i_;  // the value
    if (!is_null()) return invalid_type("unit");
    ++i_;
    if (i_ != end) return error("expected value");
    i_ = end + 1;
    return index;
  }
  return error("expected value");
}

Error Cursor::duplicate_field(std::string_view key) const {
  std::string message = "duplicate field `";
  message += key;
  message += '`';
  return error(std::move(message));
}

Status Cursor::check_required(const RecordShape& shape, uint64_t seen) const {
  const uint64_t missing = shape.required & ~seen;
  for (size_t k = 0; missing != 0 && k < shape.fields.size(); ++k) {
    if (missing & (uint64_t{1} << k)) {
      std::string message = "missing field `";
      message += shape.fields[k];
      message += '`';
      return error(std::move(message));
    }
  }
  return ok_status();
}

Status Cursor::check_array_length(const RecordShape& shape, size_t count) const {
  const size_t n_fields = shape.fields.size();
  if (count < shape.min_array_len) {
    std::string message = "invalid length " + std::to_string(count) + ", expected ";
    message += shape.description;
    message += " with " + elements(n_fields);
    return error(std::move(message));
  }
  if (count > n_fields) {
    return error("invalid length " + std::to_string(count) + ", expected " + elements(n_fields) +
                 " in sequence");
  }
  return ok_status();
}

}  // namespace dovek::json
