// Command text -> CoreCommand: the wire form of a command read into its
// record, before anything runs it.
#pragma once

#include <string_view>

#include "base/error.h"
#include "json/tape.h"
#include "protocol/proto.h"

namespace dovek::protocol {

// Decodes one command text. On failure the error is "decode CoreCommand JSON"
// with the decoder's cause under it. No side effects.
//
// Order of failures: a syntax or nesting error anywhere in the text first,
// except that the tag (its type, a repeat, an unknown name) is checked the
// moment it is read; then field errors in text order, then missing fields;
// trailing characters last.
[[nodiscard]] Result<CoreCommand> decode_command(std::string_view text);

// The same, reading into `scratch` and reusing its buffers from an earlier
// call (the decoded command owns all its data; the tape may be reused or
// dropped afterwards).
//
// With `tool_input`, a call_tool command's input is left null and unread: the
// index of its first token in `scratch` is stored there instead, for a
// caller that takes the input from the tape before reusing it.
[[nodiscard]] Result<CoreCommand> decode_command(std::string_view text, json::Tape& scratch,
                                                 size_t* tool_input = nullptr);

}  // namespace dovek::protocol
