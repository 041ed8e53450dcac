// The token tape: the tokens of exactly one JSON value in text order, with
// each container's begin token pointing at its end. Typed decoders walk it
// with a Cursor (cursor.h); to_value (parse.h) builds generic values from it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
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
//
// The hook borrows the callable it is made from (an lvalue, which must
// outlive the read): a read makes no copy and no allocation for it.
class TopLevelHook {
 public:
  TopLevelHook(std::nullptr_t = nullptr) {}  // NOLINT: no hook
  template <class F, class = std::enable_if_t<!std::is_same_v<std::remove_cv_t<F>, TopLevelHook>>>
  TopLevelHook(F& f)  // NOLINT: implicit, as from a function
      : object_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* object, const Tape& tape, size_t index) -> Status {
          return (*static_cast<F*>(object))(tape, index);
        }) {}

  explicit operator bool() const { return call_ != nullptr; }
  Status operator()(const Tape& tape, size_t index) const { return call_(object_, tape, index); }

 private:
  void* object_ = nullptr;
  Status (*call_)(void*, const Tape&, size_t) = nullptr;
};

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
};

}  // namespace dovek::json
