#include "json/tape.h"

#include <utility>

#include "json/text.h"
#include "json/tokenizer.h"

namespace dovek::json {

Result<Tape> Tape::read(std::string_view text, const TopLevelHook& hook) {
  Tape tape;
  tape.text_ = text;
  tape.tokens_.reserve(text.size() / 6 + 4);  // about one token per 6 bytes in dense JSON
  copy_for_reading(text, tape.strings_);
  Tokenizer tokenizer(text, tape.strings_.data());
  std::vector<size_t> open;  // begin tokens of the open containers
  open.reserve(16);
  Token t;
  while (tokenizer.next(t)) {
    const size_t index = tape.tokens_.size();
    tape.tokens_.push_back(t);
    switch (t.kind) {
      case TokenKind::kKey: continue;
      case TokenKind::kArrayEnd:
      case TokenKind::kObjectEnd: {
        Token& begin = tape.tokens_[open.back()];
        begin.end = index;
        begin.count = t.count;
        open.pop_back();
        continue;
      }
      default: break;
    }
    // A value (a container at its begin token): the hook sees those of depth 1.
    if (hook && open.size() == 1) [[unlikely]]
      DOVEK_TRY(hook(tape, index));
    if (t.kind == TokenKind::kArrayBegin || t.kind == TokenKind::kObjectBegin)
      open.push_back(index);
  }
  if (tokenizer.failed()) return tokenizer.take_error();
  tape.value_end_ = tokenizer.value_end();
  return tape;
}

Status Tape::check_trailing() const { return check_trailing_in(text_, value_end_); }

std::string Tape::position(size_t offset) const { return position_in(text_, offset); }

}  // namespace dovek::json
