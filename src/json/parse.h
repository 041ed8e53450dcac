// Generic values from JSON text: straight from the tokens, or from a tape.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/error.h"
#include "json/tape.h"
#include "json/value.h"

namespace dovek::json {

// Parses exactly one value surrounded only by whitespace.
Result<Value> parse(std::string_view text);

// Builds the generic value that starts at token `index`. Recurses once per
// nesting level: at most kMaxDepth deep, as the tape is.
Value to_value(const Tape& tape, size_t index);

}  // namespace dovek::json
