#include "json/tape.h"

#include <utility>

#include "json/text.h"
#include "json/tokenizer.h"

namespace dovek::json {

Result<Tape> Tape::read(std::string_view text, const TopLevelHook& hook) {
  Tape tape;
  tape.text_ = text;
  tape.tokens_.reserve(text.size() / 12 + 4);
  copy_for_reading(text, tape.strings_);
  Tokenizer tokenizer(text, tape.strings_.data());
  std::vector<size_t> open;  // begin tokens of the open containers
  Token t;
  while (tokenizer.next(t)) DOVEK_TRY(tape.append(t, open, hook ? &hook : nullptr));
  if (tokenizer.failed()) return tokenizer.take_error();
  tape.value_end_ = tokenizer.value_end();
  return tape;
}

Status Tape::append(const Token& t, std::vector<size_t>& open, const TopLevelHook* hook) {
  const size_t index = tokens_.size();
  tokens_.push_back(t);
  switch (t.kind) {
    case TokenKind::kKey: return ok_status();
    case TokenKind::kArrayEnd:
    case TokenKind::kObjectEnd: {
      Token& begin = tokens_[open.back()];
      begin.end = index;
      begin.count = t.count;
      open.pop_back();
      return ok_status();
    }
    default: break;
  }
  if (hook != nullptr && open.size() == 1) [[unlikely]]
    DOVEK_TRY((*hook)(*this, index));
  if (t.kind == TokenKind::kArrayBegin || t.kind == TokenKind::kObjectBegin) open.push_back(index);
  return ok_status();
}

Status Tape::check_trailing() const { return check_trailing_in(text_, value_end_); }

std::string Tape::position(size_t offset) const { return position_in(text_, offset); }

}  // namespace dovek::json
