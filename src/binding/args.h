// Argument binding for functions with the fast calling convention with
// keywords: positional or keyword, every parameter required, CPython's usual
// wording for arity errors, "argument '{name}': ..." for type errors.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace dovek::binding {

// Binds (args, nargs, kwnames) to `names`, writing borrowed references into
// `out` (same length). `function` is the name shown in errors, e.g.
// "handle_json" or "Core.handle_json". Returns false with an exception set.
bool bind_arguments(std::string_view function, std::span<const char* const> names,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out);

// The same with optional and keyword-only parameters: names[0, required)
// are required, the rest optional (left nullptr when not given);
// names[positional, end) may be given by keyword only.
bool bind_arguments(std::string_view function, std::span<const char* const> names,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out, size_t required, size_t positional);

// The name of o's type ("object" when it has none to give).
std::string type_name(PyObject* o);

// Conversions; each returns false with an exception set. Strings accept str
// and its subclasses only; lone surrogates raise the interpreter's encoding error.
bool convert_str(const char* name, PyObject* o, std::string& out);
// The str's UTF-8 bytes without a copy. They live as long as the str (which
// the caller holds for the whole call) and never change: a str is immutable
// and caches its UTF-8 form.
bool borrow_str(const char* name, PyObject* o, std::string_view& out);
bool convert_optional_str(const char* name, PyObject* o, std::optional<std::string>& out);
// An int (or object with __index__) in 0..2^64-1; OverflowError outside.
bool convert_u64(const char* name, PyObject* o, uint64_t& out);
// A count or an index: an int (or object with __index__) other than a bool,
// TypeError otherwise; ValueError "argument '{name}' must not be negative,
// got {n}" below 0. A value past 2^63-1 reads as 2^64-1 (past any end).
bool convert_count(const char* name, PyObject* o, uint64_t& out);
// A bool or a NumPy boolean scalar; an int such as 1 is a TypeError.
bool convert_bool(const char* name, PyObject* o, bool& out);

}  // namespace dovek::binding
