#include "json/tape.h"

#include <algorithm>
#include <utility>

#include "json/text.h"
#include "json/tokenizer.h"

namespace dovek::json {
namespace {

// 2 MiB of tokens.
constexpr size_t kMaxReservedTokens = (size_t{2} << 20) / sizeof(Token);

}  // namespace

Result<Tape> Tape::read(std::string_view text, const TopLevelHook& hook) {
  Tape tape;
  DOVEK_TRY(tape.reread(text, hook));
  return tape;
}

Status Tape::reread(std::string_view text, const TopLevelHook& hook) {
  text_ = text;
  value_end_ = 0;
  tokens_.clear();
  // About one token per 6 bytes in dense JSON, but never reserved past
  // kMaxReservedTokens: a large text is mostly long strings (one token each),
  // and reserving 5x its size up front would fail under a memory limit that
  // the text itself fits in. Past the cap the tape grows with what is read.
  tokens_.reserve(std::min(text.size() / 6 + 4, kMaxReservedTokens));
  strings_.clear();
  copy_for_reading(text, strings_);
  Tokenizer tokenizer(text, strings_.data());
  if (!tokenizer.read_into(tokens_, hook, *this)) {
    tokens_.clear();
    return tokenizer.take_error();
  }
  value_end_ = tokenizer.value_end();
  return ok_status();
}

void Tape::trim(size_t max_bytes) {
  if (tokens_.capacity() * sizeof(Token) + strings_.capacity() > max_bytes) {
    *this = Tape();
  }
}

Status Tape::check_trailing() const { return check_trailing_in(text_, value_end_); }

std::string Tape::position(size_t offset) const { return position_in(text_, offset); }

}  // namespace dovek::json
