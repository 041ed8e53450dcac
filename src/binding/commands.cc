#include "binding/commands.h"

#include <array>
#include <exception>
#include <string>

#include "binding/args.h"
#include "binding/core_factory.h"
#include "binding/tools.h"

namespace dovek::binding {

// Leaked on purpose: it lives until the process ends, and must not be
// destroyed by static destructors while other threads may still use it.
engine::GuardedCore& global_core() {
  static engine::GuardedCore* core = new engine::GuardedCore(core_factory());
  return *core;
}

namespace {

// This thread's buffer for command responses, kept from one command to the
// next so that a command allocates (and fills) no response buffer of its
// own; only the thread that owns it writes or reads it, so it needs no lock.
// A buffer grown past kKeptResponseBytes by a large response is let go.
constexpr size_t kKeptResponseBytes = size_t{64} << 10;

std::string& response_storage() {
  thread_local std::string storage;
  return storage;
}

}  // namespace

// Runs one command on `fixed`, or on the process-wide core when null. The
// command's bytes are borrowed from the argument str for the whole call.
PyObject* run_command(engine::GuardedCore* fixed, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, std::string_view function) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"command_json"};
    std::array<PyObject*, 1> bound{};
    std::string_view command;
    if (!bind_arguments(function, kNames, args, nargs, kwnames, bound) ||
        !borrow_str("command_json", bound[0], command)) {
      return nullptr;
    }
    engine::GuardedCore& core = fixed ? *fixed : global_core();
    // An exception that left the core's lock poisoned the core: that is the
    // internal fault, even for an allocation failure.
    std::exception_ptr fault;
    std::string& storage = response_storage();
    Result<std::string_view> result =
        without_thread_state([&](ReleasedThreadState&) -> Result<std::string_view> {
          try {
            return core.run_json(command, storage);
          } catch (...) {
            fault = current_exception_or_rethrow();
            return Error("internal fault");
          }
        });
    // A tool's KeyboardInterrupt (or another BaseException that is not an
    // Exception) reaches the caller as it was raised.
    if (take_pending_exception()) return nullptr;
    if (fault) {
      // Out of memory before the core changed anything leaves it usable:
      // that is MemoryError, not the internal fault.
      if (is_bad_alloc(fault) && !core.poisoned()) return PyErr_NoMemory();
      return raise_internal_fault(fault);
    }
    PyObject* out = result_to_py(result);
    if (storage.capacity() > kKeptResponseBytes) std::string().swap(storage);
    return out;
  });
}

}  // namespace dovek::binding
