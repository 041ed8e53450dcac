// JSON from Python objects: a tool's result, for tools written in Python.
// REQUIRES (all): the calling thread holds the thread state.
#pragma once

#include <Python.h>

#include <string_view>

#include "base/error.h"
#include "json/value.h"
#include "json/write.h"

namespace dovek::binding {

// The JSON value of a Python object: dict with str keys, list or tuple, str,
// int within the signed or unsigned 64-bit range, finite float, bool, None,
// nested at most 127 containers deep. Anything else, a cycle or a str that
// is not valid Unicode is an error "cannot convert {what} to JSON: ..." that
// names the offending Python type; no Python exception is left set.
[[nodiscard]] Result<json::Value> from_python(PyObject* object, std::string_view what);

// Writes the JSON value of a Python object with `out`, as
// out.value(*from_python(object, what)) would, without building the value;
// or returns the error from_python gives (what `out` holds then is to be
// discarded). No Python exception is left set.
[[nodiscard]] Status write_json_text(PyObject* object, std::string_view what, json::Writer& out);

}  // namespace dovek::binding
