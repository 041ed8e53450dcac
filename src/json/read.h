// Reading JSON text: the token tape (tape.h), generic values (parse.h) and
// the typed decoding toolkit that record decoders use (cursor.h), all fed by
// one tokenizer (tokenizer.h).
//
// Guarantees of every reader here: UTF-8 validated (lone surrogate escapes
// rejected too, so every string we hold is valid UTF-8), numbers classified
// as u64 / i64 / double (correctly rounded; magnitude too large for a double
// is "number out of range"; underflow reads as 0, -0 or a subnormal), nesting
// limited to 127 levels ("recursion limit exceeded" on the 128th, skipped
// members included), and every syntax error ends in " at line L column C"
// (1-based, column of the offending byte). Reading text keeps an explicit
// stack and never recurses; building a Value from a tape (to_value,
// Cursor::value) recurses once per nesting level, so at most 127 deep.
#pragma once

#include "json/cursor.h"
#include "json/parse.h"
#include "json/tape.h"
#include "json/token.h"
#include "json/value.h"
