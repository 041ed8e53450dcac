// Fuzz target: the generic JSON reader and writer.
//
// For every text: parse() and Tape::read() + check_trailing() + to_value()
// agree on accept or reject, on the error message and on the value. For
// every accepted text: reading what was written gives the same value, and
// writing that again gives the same bytes (byte-identical), whether written
// by write() or by the structured Writer. Any mismatch traps.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "json/read.h"
#include "json/value.h"
#include "json/write.h"

namespace {

using dovek::json::Tape;
using dovek::json::Value;

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
    return 0;
  }
  const Value& v = *parsed;
  if (!(tape_value == v)) fail("to_value differs from parse", dovek::json::write(tape_value));

  const std::string written = dovek::json::write(v);
  dovek::json::Writer writer;
  writer.value(v);
  if (writer.text() != written) fail("Writer::value differs from write", writer.text());

  auto reread = dovek::json::parse(written);
  if (!reread.ok()) fail("written text does not parse", reread.error().message() + " | " + written);
  if (!(*reread == v)) fail("written text reads as another value", written);
  const std::string rewritten = dovek::json::write(*reread);
  if (rewritten != written) fail("writing again gives other bytes", written + " | " + rewritten);
  return 0;
}
