// Commands from Python: the process-wide core, and running a command or a
// reset on a core with the thread state released. Shared by the module-level
// functions and the methods of Core.
#pragma once

#include <Python.h>

#include <string_view>

#include "binding/py.h"
#include "engine/guarded_core.h"

namespace dovek::binding {

// The process-wide core behind the module-level functions: created when the
// module is imported (so no fork can find it half-built), never destroyed.
engine::GuardedCore& global_core();

// Runs one command (the call's single argument `command_json`) on `fixed`, or
// on the process-wide core when null; `function` names the callable in
// argument errors. A new str, or nullptr with an exception set.
PyObject* run_command(engine::GuardedCore* fixed, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, std::string_view function);

// Waits for the core's lock without the thread state, as threading.Lock
// does, so that a busy core never stalls the other Python threads.
// `while_swapped(released)` runs under the core's lock right after the swap.
template <class F>
PyObject* reset_core(engine::GuardedCore& core, F&& while_swapped) {
  return guarded([&]() -> PyObject* {
    Status status = without_thread_state([&](ReleasedThreadState& released) {
      return core.reset([&] { while_swapped(released); });
    });
    if (!status.ok()) return raise_error(status.error());
    return new_none();
  });
}

}  // namespace dovek::binding
