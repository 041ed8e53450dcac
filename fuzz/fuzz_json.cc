// Fuzz target: the generic JSON reader and writer, against themselves and
// against RapidJSON, an independent parser.
//
// For every text: parse() and Tape::read() + check_trailing() + to_value()
// agree on accept or reject, on the error message and on the value. For
// every accepted text: reading what was written gives the same value, and
// writing that again gives the same bytes (byte-identical), whether written
// by write(), by the structured Writer or from the tape (write_value).
//
// RapidJSON (UTF-8 validated, full-precision numbers) must make the same
// accept or reject decision and read the same value: numbers of the same
// kind (u64 for non-negative integers, i64 for negative ones, both up to
// the 64-bit limits, a double otherwise) and the same bits, the same string
// bytes, object members in our order (unsigned bytes) with the last of
// repeated keys. Our written text must read back in RapidJSON as the same
// value. Where the two readers legitimately differ, the decision is not
// compared:
//   - a text nested deeper than our limit of 127 (RapidJSON has none);
//   - a text holding a NUL byte (RapidJSON takes it for the end of input);
//   - an escaped lone low surrogate (\uDC00 to \uDFFF), which RapidJSON
//     stores as the three bytes of the surrogate and we reject as not UTF-8;
//   - a number beyond the largest double, which we reject as out of range
//     and RapidJSON 1.1 reads as some other number (5e308 as a tiny negative
//     one, 2e308 as NaN) unless its exponent is large;
//   - a number of a tenth of the largest double or more written with its
//     integer digits in full, or a zero with an exponent past 308 (0e309),
//     which RapidJSON 1.1 rejects as too big.
// Nor are the values of numbers below the smallest normal double compared,
// which RapidJSON 1.1 misreads (see same()). And a text with an exponent of
// 300 or more (e-324, e308), more than 40 digits in a row (even inside a
// string), the digits of 2^64 - 1 and one more (see has_wild_number), or a
// number out of range is not given to RapidJSON at all: on
// such numbers (1e-536870903, 9227...7e308 with 130 digits, 0e-324, 0.0...0
// with 800 zeros) its exponent arithmetic overflows and reads past its table
// of powers. The unit tests hold such numbers to strtod instead.
// Any mismatch traps.
#include <rapidjson/document.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <string_view>

#include "json/read.h"
#include "json/value.h"
#include "json/write.h"

namespace {

using dovek::json::Tape;
using dovek::json::Value;
using Theirs = rapidjson::Value;

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "fuzz_json: %s: %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  __builtin_trap();
}

// Every rejection ends in " at line L column C" with L >= 1 and C >= 0.
bool has_position(std::string_view message) {
  const size_t at = message.rfind(" at line ");
  if (at == std::string_view::npos || at == 0) return false;
  std::string_view rest = message.substr(at + 9);
  size_t digits = 0;
  while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
  if (digits == 0 || rest[0] == '0') return false;
  rest.remove_prefix(digits);
  if (rest.substr(0, 8) != " column ") return false;
  rest.remove_prefix(8);
  if (rest.empty()) return false;
  for (char c : rest) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

constexpr unsigned kTheirFlags = rapidjson::kParseValidateEncodingFlag |
                                 rapidjson::kParseFullPrecisionFlag |
                                 rapidjson::kParseIterativeFlag;  // no recursion

// RapidJSON reads up to a NUL; its UTF-8 check reads on past the NUL after
// a sequence cut short at the end, so a few more follow.
std::string for_rapidjson(std::string_view text) {
  std::string out(text);
  out.append(4, '\0');
  return out;
}

// Whether RapidJSON's value is ours, kinds of numbers and key order included.
bool same(const Value& ours, const Theirs& theirs) {
  switch (ours.kind()) {
    case Value::Kind::kNull: return theirs.IsNull();
    case Value::Kind::kBool: return theirs.IsBool() && theirs.GetBool() == ours.as_bool();
    case Value::Kind::kU64:
      return !theirs.IsDouble() && theirs.IsUint64() && theirs.GetUint64() == ours.as_u64();
    case Value::Kind::kI64:
      return !theirs.IsDouble() && theirs.IsInt64() && theirs.GetInt64() == ours.as_i64();
    case Value::Kind::kDouble: {
      if (!theirs.IsDouble()) return false;
      const double a = ours.as_double();
      const double b = theirs.GetDouble();
      if (std::memcmp(&a, &b, sizeof a) == 0) return true;  // the sign of zero too
      // Below the smallest normal double RapidJSON 1.1 misreads (1e-324 as
      // NaN, 2e-324 as 5e-324, a zero with an exponent through undefined
      // behaviour), and integers past 2^64 written out in digits
      // (184467440737095516155 as 16, 1844674407370955161576 as another
      // value); there the unit tests hold us to strtod. Runs of more than 40
      // digits never reach RapidJSON, so such integers stay below 1e41.
      return std::fabs(a) < std::numeric_limits<double>::min() ||
             (std::fabs(a) >= 0x1p64 && std::fabs(a) < 1e41);
    }
    case Value::Kind::kString:
      return theirs.IsString() &&
             std::string_view(theirs.GetString(), theirs.GetStringLength()) == ours.as_string();
    case Value::Kind::kArray: {
      if (!theirs.IsArray() || theirs.Size() != ours.as_array().size()) return false;
      for (rapidjson::SizeType i = 0; i < theirs.Size(); ++i) {
        if (!same(ours.as_array()[i], theirs[i])) return false;
      }
      return true;
    }
    case Value::Kind::kObject: {
      if (!theirs.IsObject()) return false;
      // The last of repeated keys, in unsigned byte order (char_traits<char>
      // compares as unsigned char).
      std::map<std::string_view, const Theirs*> members;
      for (auto m = theirs.MemberBegin(); m != theirs.MemberEnd(); ++m) {
        members[std::string_view(m->name.GetString(), m->name.GetStringLength())] = &m->value;
      }
      if (members.size() != ours.as_object().size()) return false;
      auto it = members.begin();
      for (const auto& [key, value] : ours.as_object()) {
        if (it->first != key || !same(value, *it->second)) return false;
        ++it;
      }
      return true;
    }
  }
  return false;
}

// Whether a string of the value holds the UTF-8 form of a surrogate code
// point (ED A0..BF xx), as RapidJSON makes of an escaped lone low surrogate.
bool holds_surrogate(const Theirs& v) {
  if (v.IsString()) {
    const std::string_view s(v.GetString(), v.GetStringLength());
    for (size_t i = 0; i + 1 < s.size(); ++i) {
      if (static_cast<unsigned char>(s[i]) == 0xED &&
          static_cast<unsigned char>(s[i + 1]) >= 0xA0) {
        return true;
      }
    }
    return false;
  }
  if (v.IsArray()) {
    for (const Theirs& e : v.GetArray()) {
      if (holds_surrogate(e)) return true;
    }
  }
  if (v.IsObject()) {
    for (auto m = v.MemberBegin(); m != v.MemberEnd(); ++m) {
      if (holds_surrogate(m->name) || holds_surrogate(m->value)) return true;
    }
  }
  return false;
}

// Whether the value holds a double of at least a tenth of the largest, or
// a zero double.
bool holds_huge(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::kDouble:
      return v.as_double() == 0 ||
             std::fabs(v.as_double()) >= std::numeric_limits<double>::max() / 10;
    case Value::Kind::kArray:
      for (const Value& e : v.as_array()) {
        if (holds_huge(e)) return true;
      }
      return false;
    case Value::Kind::kObject:
      for (const auto& [key, e] : v.as_object()) {
        if (holds_huge(e)) return true;
      }
      return false;
    default: return false;
  }
}

// Whether the text has a run of more than 40 digits and points, or an 'e'
// or 'E' followed by an optional sign and a number of 300 or more, or the
// digits of 2^64 - 1 followed by another digit (a point may stand anywhere
// among them), anywhere (strings included). RapidJSON 1.1 gathers a
// number's digits, fraction included, in 64 bits and lets them reach
// 2^64 - 1 exactly; a digit after that overflows unnoticed and it reads
// another value (1844674407370955161.55 as 0.125, 0.184467440737095516155
// as 1.4e-20, 184467440737095516155 as 16).
bool has_wild_number(std::string_view text) {
  size_t run = 0;
  for (char c : text) {
    run = (c >= '0' && c <= '9') || c == '.' ? run + 1 : 0;
    if (run > 40) return true;
  }
  constexpr std::string_view kMax = "18446744073709551615";
  for (size_t i = 0; i < text.size(); ++i) {
    size_t j = i, matched = 0;
    while (j < text.size() && matched < kMax.size()) {
      if (text[j] == '.' && matched > 0) {
        ++j;
        continue;
      }
      if (text[j] != kMax[matched]) break;
      ++j;
      ++matched;
    }
    if (j < text.size() && text[j] == '.') ++j;
    if (matched == kMax.size() && j < text.size() && text[j] >= '0' && text[j] <= '9') return true;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != 'e' && text[i] != 'E') continue;
    size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    while (j < text.size() && text[j] == '0') ++j;
    size_t digits = 0;
    while (j + digits < text.size() && text[j + digits] >= '0' && text[j + digits] <= '9') ++digits;
    if (digits > 3 || (digits == 3 && text[j] >= '3')) return true;
  }
  return false;
}

// RapidJSON against our decision (`ours` is the value, or nullptr and the
// error message).
void check_against_rapidjson(std::string_view text, const Value* ours,
                             const std::string& our_error) {
  if (text.find('\0') != std::string_view::npos || has_wild_number(text)) return;
  if (our_error.rfind("number out of range", 0) == 0) return;  // see above
  rapidjson::Document doc;
  doc.Parse<kTheirFlags>(for_rapidjson(text).c_str());
  if (ours == nullptr) {
    if (doc.HasParseError()) return;
    if (our_error.rfind("recursion limit exceeded", 0) == 0) return;
    if (holds_surrogate(doc)) return;
    fail("RapidJSON accepts what we reject", our_error + " | " + std::string(text));
  }
  if (doc.HasParseError()) {
    if (doc.GetParseError() == rapidjson::kParseErrorNumberTooBig && holds_huge(*ours)) return;
    fail("RapidJSON rejects what we accept", text);
  }
  if (!same(*ours, doc)) fail("RapidJSON reads another value", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  auto parsed = dovek::json::parse(text);

  // The tape path: read, then trailing characters, then the value.
  std::string tape_error;
  Value tape_value;
  bool tape_ok = false;
  auto tape = Tape::read(text);
  if (!tape.ok()) {
    tape_error = tape.error().message();
  } else if (auto trailing = tape->check_trailing(); !trailing.ok()) {
    tape_error = trailing.error().message();
  } else {
    if (tape->size() == 0) fail("accepted tape without tokens", text);
    tape_value = dovek::json::to_value(*tape, 0);
    tape_ok = true;
  }

  if (parsed.ok() != tape_ok) {
    fail("parse and Tape::read disagree on acceptance",
         parsed.ok() ? std::string_view(tape_error) : std::string_view(parsed.error().message()));
  }
  if (!parsed.ok()) {
    if (parsed.error().message() != tape_error) {
      fail("parse and Tape::read disagree on the error",
           parsed.error().message() + " | " + tape_error);
    }
    if (!has_position(tape_error)) fail("error without a position", tape_error);
    check_against_rapidjson(text, nullptr, tape_error);
    return 0;
  }
  const Value& v = *parsed;
  if (!(tape_value == v)) fail("to_value differs from parse", dovek::json::write(tape_value));
  check_against_rapidjson(text, &v, "");

  const std::string written = dovek::json::write(v);
  dovek::json::Writer writer;
  writer.value(v);
  if (writer.text() != written) fail("Writer::value differs from write", writer.text());
  dovek::json::Writer from_tape;
  dovek::json::write_value(from_tape, *tape, 0);
  if (from_tape.text() != written) fail("write_value differs from write", from_tape.text());
  // Every container and double whose text the reader marked as already in
  // the written form must be exactly what writing its value gives.
  for (size_t k = 0; k < tape->size(); ++k) {
    using dovek::json::TokenKind;
    const dovek::json::Token& t = (*tape)[k];
    std::string_view read;
    if (t.kind == TokenKind::kArrayBegin || t.kind == TokenKind::kObjectBegin) {
      const dovek::json::Token& end = (*tape)[t.end];
      if (!end.written_form) continue;
      read = tape->text().substr(t.offset, end.offset + 1 - t.offset);
    } else if (t.kind == TokenKind::kDouble && t.count != 0) {
      read = tape->text().substr(t.offset, t.count);
    } else {
      continue;
    }
    const std::string own = dovek::json::write(dovek::json::to_value(*tape, k));
    if (read != own) fail("text marked as written differs from writing it", read);
  }

  auto reread = dovek::json::parse(written);
  if (!reread.ok()) fail("written text does not parse", reread.error().message() + " | " + written);
  if (!(*reread == v)) fail("written text reads as another value", written);
  const std::string rewritten = dovek::json::write(*reread);
  if (rewritten != written) fail("writing again gives other bytes", written + " | " + rewritten);

  rapidjson::Document again;
  again.Parse<kTheirFlags>(for_rapidjson(written).c_str());
  if (again.HasParseError()
          ? !(again.GetParseError() == rapidjson::kParseErrorNumberTooBig && holds_huge(v))
          : !same(v, again)) {
    fail("RapidJSON reads our text otherwise", written);
  }
  return 0;
}
