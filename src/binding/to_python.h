// Python objects from JSON: a tool's input, for tools written in Python.
// REQUIRES (all): the calling thread holds the thread state.
#pragma once

#include <Python.h>

#include <string_view>

#include "json/tape.h"
#include "json/value.h"

namespace dovek::binding {

// object -> dict (keys in the value's order), array -> list, string -> str,
// integer -> int, double -> float, true/false -> bool, null -> None. A new
// reference, or nullptr with an exception set (memory only).
PyObject* to_python(const json::Value& value);

// The same for the value at token `index` of `tape`, as it would convert
// json::to_value(tape, index), without building that value.
PyObject* to_python(const json::Tape& tape, size_t index);

}  // namespace dovek::binding
