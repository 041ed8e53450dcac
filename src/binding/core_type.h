// The Python type Core: a core of its own (in memory, or on a store with
// Core.open), its tools, and its records read back.
#pragma once

#include <Python.h>

namespace dovek::binding {

// A new reference to a new type object for Core, or nullptr with an exception
// set. Called once, by the module's initialiser.
PyObject* create_core_type();

}  // namespace dovek::binding
