// The token tape: the tokens of exactly one JSON value in text order, with
// each container's begin token pointing at its end. Typed decoders walk it
// with a Cursor (cursor.h); to_value (parse.h) builds generic values from it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "json/token.h"

namespace dovek::json {

class Tape;

// Called when a value starts at depth 1 (a direct member value or element of
// the top-level container) with the tape read so far and the index of that
// value's first token; the preceding token is its kKey in an object. A
// container value is reported at its begin token. An error returned stops
// reading and becomes the read's error. Used to check a command's tag as soon
// as it is read.
using TopLevelHook = std::function<Status(const Tape&, size_t index)>;

// Thread safety: immutable after read (reread changes it, like any write).
class Tape {
 public:
  // Reads one value from the start of `text` (leading whitespace allowed).
  // Does not look past the value: call check_trailing() for that, so that
  // callers can report field errors before trailing characters.
  static Result<Tape> read(std::string_view text, const TopLevelHook& hook = nullptr);

  // read() into this tape, reusing the buffers of its last read, so that a
  // caller reading one text after another (a core's commands) does not
  // allocate for each. On failure the tape holds no value.
  [[nodiscard]] Status reread(std::string_view text, const TopLevelHook& hook = nullptr);

  // Drops the buffers when they have grown past `max_bytes`, so that one
  // huge text does not pin its memory for the reader's lifetime.
  void trim(size_t max_bytes);

  const std::vector<Token>& tokens() const { return tokens_; }
  const Token& operator[](size_t i) const { return tokens_[i]; }
  size_t size() const { return tokens_.size(); }
  std::string_view string(const Token& t) const {
    return {strings_.data() + t.str.begin, t.str.size};
  }
  std::string_view text() const { return text_; }

  // "trailing characters at line L column C" unless only space, tab, LF or CR
  // follow the value.
  Status check_trailing() const;

  // " at line L column C" for a byte offset of the text.
  std::string position(size_t offset) const;

 private:
  std::string_view text_;
  size_t value_end_ = 0;  // offset just past the value
  std::vector<Token> tokens_;
  std::string strings_;  // copy of the text; the tokenizer decodes each string in place
  std::vector<size_t> open_;  // begin tokens of the open containers, while reading
};

}  // namespace dovek::json
