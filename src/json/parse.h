// Generic values from JSON text: straight from the tokens, or from a tape.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/error.h"
#include "json/tape.h"
#include "json/value.h"
#include "json/write.h"

namespace dovek::json {

// Parses exactly one value surrounded only by whitespace.
Result<Value> parse(std::string_view text);

// Builds the generic value that starts at token `index`. Recurses once per
// nesting level: at most kMaxDepth deep, as the tape is.
Value to_value(const Tape& tape, size_t index);

// Whether the members of the object whose begin token is at `index` have
// strictly ascending keys (bytewise): to_value then keeps them in text order,
// and each key once.
bool keys_ascend(const Tape& tape, size_t index);

// Writes the value that starts at token `index` as w.value(to_value(tape,
// index)) would, without building it where its objects' keys ascend.
void write_value(Writer& w, const Tape& tape, size_t index);

}  // namespace dovek::json
