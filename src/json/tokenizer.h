// Splits the text of one JSON value into tokens, one call at a time. This is
// the only place that knows the grammar; the tape and the value builder both
// consume its tokens.
//
// It checks what every reader guarantees (see read.h): the grammar, UTF-8 of
// every string (lone surrogate escapes included), numbers classified and
// converted, nesting at most kMaxDepth; and it words every syntax error with
// its position. It keeps an explicit stack of open containers: no recursion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "json/syntax_error.h"
#include "json/text.h"
#include "json/token.h"

namespace dovek::json {

class Tape;
class TopLevelHook;

// Thread safety: none; one tokenizer per read.
class Tokenizer {
 public:
  // Reads one value from the start of `text` (leading whitespace allowed).
  // REQUIRES: `buffer` holds a copy of `text` followed by kReadPadding NUL
  // bytes (copy_for_reading) and outlives the tokenizer. Strings are decoded in
  // place in it; string tokens give their bytes as offsets into it.
  Tokenizer(std::string_view text, char* buffer) : text_(text), buffer_(buffer), p_(buffer) {}

  // The next token in text order: begin tokens carry no count yet, end
  // tokens the number of elements or members. False once the value is
  // complete, or on an error (then failed()).
  bool next(Token& t);

  // Appends every token of the value to `tokens` (the tokens of `tape`), with
  // each container's begin token given the index of its end token and its
  // count, and calls `hook` (when set) as each value of depth 1 starts. An
  // error the hook returns stops reading and becomes the read's error. False
  // on an error (then failed()). The whole read in one loop, so that the
  // grammar steps inline into it rather than costing a call per token.
  bool read_into(std::vector<Token>& tokens, const TopLevelHook& hook, const Tape& tape);

  bool failed() const { return error_.has_value(); }
  Error take_error() { return std::move(*error_); }
  // Offset just past the value. REQUIRES: next() returned false, no error.
  size_t value_end() const { return static_cast<size_t>(p_ - buffer_); }

 private:
  // Where the grammar stands: what may come next.
  enum class State : uint8_t {
    kStart,
    kFinish,
    kObjectInitial,
    kMemberKey,
    kKeyValueDelimiter,
    kMemberValue,
    kMemberDelimiter,
    kArrayInitial,
    kElement,
    kElementDelimiter,
  };
  struct Frame {
    State resume;  // the state once the container closes
    bool is_array;
    uint32_t count;  // delimiters seen so far
    uint64_t irregular;  // irregular_ when the container opened
    // An object's last key so far, in the buffer (for the key order).
    size_t key_begin, key_size;
    size_t begin;  // read_into: the index of the container's begin token
  };

  size_t offset() const { return static_cast<size_t>(p_ - buffer_); }
  State after_value() const;
  // kTape: the token is tokens[index_] of the vector read_into fills, and
  // the containers' begin tokens are patched at their ends.
  template <bool kTape>
  bool step(Token& t);
  // A value, then the state `then`.
  template <bool kTape>
  bool value(Token& t, State then);
  template <bool kTape>
  bool open(Token& t, TokenKind kind, State then);
  // `after_item`: an element or member precedes the bracket (no delimiter
  // follows the last one).
  template <bool kTape>
  bool close(Token& t, TokenKind kind, bool after_item);
  bool literal(Token& t, TokenKind kind, std::string_view word);
  bool number(Token& t);
  // The value of a number that the short ways do not convert; `end` is just
  // past its text.
  [[gnu::noinline]] bool convert_other_number(Token& t, const char* end, size_t digits,
                                              uint64_t mantissa, bool integer, int exponent,
                                              bool negative);
  bool key(Token& t);
  bool key_after(size_t a, size_t m, size_t b, size_t n) const;
  // Skips whitespace, which the writer never writes: it counts as irregular.
  void skip_space() {
    if (is_json_space(*p_)) [[unlikely]] {
      ++irregular_;
      do ++p_;
      while (is_json_space(*p_));
    }
  }
  char skip_space_and_peek() {
    skip_space();
    return *p_;
  }
  bool string(Token& t, TokenKind kind);
  bool short_plain_string(Token& t, TokenKind kind);
  [[gnu::noinline]] bool longer_plain_string(Token& t, TokenKind kind);
  // Takes the string as plain when the first special byte of the window
  // `skip` bytes after its opening quote (masks as string_masks gives them,
  // `special` not 0) is the closing quote.
  bool take_if_closed(Token& t, TokenKind kind, size_t skip, unsigned quotes, unsigned special);
  [[gnu::noinline]] bool any_string(Token& t, TokenKind kind);
  bool unescape(char*& out);
  bool hex4(size_t escape_offset, unsigned& code);
  // The error for an unexpected byte (or the end) in the current state.
  [[gnu::noinline]] bool unexpected();
  // The error for a container past kMaxDepth.
  [[gnu::noinline]] bool too_deep();
  bool fail(SyntaxError error, size_t at);
  bool fail(Error error);

  std::string_view text_;
  char* buffer_;
  char* p_;  // the next byte to read
  State state_ = State::kStart;
  // The open containers, innermost last: fixed, since nesting is bounded,
  // so that a read allocates nothing for them.
  Frame open_[kMaxDepth];
  size_t depth_ = 0;
  size_t index_ = 0;  // read_into: the index of the token being read
  // How many places so far the text differs from what Writer would write
  // for the value read: whitespace, an escape, a number not in the writer's
  // form, a key not above the one before it. A container whose count did
  // not change while it was open is marked Token::written_form at its end.
  uint64_t irregular_ = 0;
  std::optional<Error> error_;
};

}  // namespace dovek::json
