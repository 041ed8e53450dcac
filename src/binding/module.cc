// The CPython extension module dovek_native, on the stable ABI (limited API
// 3.11; Py_LIMITED_API is defined by the build).
//
// Python-level surface (kept in step with dovek_native.pyi):
//
//   class Core:                                   # not subclassable
//       def __new__(cls) -> Core
//       @classmethod
//       def open(cls, url: str) -> Core           # a core on a store file
//       def handle_json(self, command_json: str) -> str
//       def reset(self) -> None
//   def handle_json(command_json: str) -> str
//   def reset() -> None
//   def runtime_load_artifact_json(root: str) -> str
//   def runtime_list_skills_json(root: str | None) -> str
//   def runtime_build_skill_json(root: str, target_dir: str | None) -> str
//   def runtime_run_skill_json(root: str, input_json: str, timeout_seconds: int) -> str
//   def runtime_install_local_skill_json(source: str, root: str | None,
//                                        skill_id: str | None, overwrite: bool) -> str
//
// Commands and runtime calls release the thread state while they work;
// domain failures raise RuntimeError with the outermost message; a C++
// exception raises InternalFault (a BaseException subclass, not a member).
#include <Python.h>

#include <array>
#include <optional>
#include <string>

#include "binding/args.h"
#include "binding/core_factory.h"
#include "binding/durable.h"
#include "binding/lifecycle.h"
#include "binding/py.h"
#include "engine/guarded_core.h"
#include "runtime/api.h"

namespace dovek::binding {
namespace {

// The process-wide core behind the module-level functions: created when the
// module is imported (so no fork can find it half-built), never destroyed.
// Leaked on purpose: it lives until the process ends, and must not be
// destroyed by static destructors while other threads may still use it.
engine::GuardedCore& global_core() {
  static engine::GuardedCore* core = new engine::GuardedCore(core_factory());
  return *core;
}

// The text as a new str, or the error raised. Text: std::string or a view.
template <class Text>
PyObject* result_to_py(const Result<Text>& result) {
  if (!result.ok()) return raise_error(result.error());
  return to_str(*result);
}

// This thread's buffer for command responses, kept from one command to the
// next so that a command allocates (and fills) no response buffer of its
// own; only the thread that owns it writes or reads it, so it needs no lock.
// A buffer grown past kKeptResponseBytes by a large response is let go.
constexpr size_t kKeptResponseBytes = size_t{64} << 10;

std::string& response_storage() {
  thread_local std::string storage;
  return storage;
}

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
            return core.run_json_locked(command, storage);
          } catch (...) {
            fault = current_exception_or_rethrow();
            return Error("internal fault");
          }
        });
    if (fault) return raise_internal_fault(fault);
    PyObject* out = result_to_py(result);
    if (storage.capacity() > kKeptResponseBytes) std::string().swap(storage);
    return out;
  });
}

// Waits for the core's lock without the thread state, as threading.Lock
// does, so that a busy core never stalls the other Python threads.
PyObject* reset_core(engine::GuardedCore& core) {
  return guarded([&]() -> PyObject* {
    Status status = without_thread_state([&](ReleasedThreadState&) { return core.reset(); });
    if (!status.ok()) return raise_error(status.error());
    Py_RETURN_NONE;
  });
}

// ---- module-level command functions ----------------------------------------

PyObject* handle_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_command(nullptr, args, nargs, kwnames, "handle_json");
}

PyObject* reset(PyObject*, PyObject*) { return reset_core(global_core()); }

// ---- class Core ----------------------------------------------------------------

struct PyCore {
  PyObject_HEAD
  engine::GuardedCore* core;  // owned; destroyed in dealloc
};

PyObject* core_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if ((args && PyTuple_Size(args) > 0) || (kwargs && PyDict_Size(kwargs) > 0)) {
    PyErr_SetString(PyExc_TypeError, "Core() takes no arguments");
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyRef self = PyRef::steal(alloc(type, 0));
  if (!self) return nullptr;
  return guarded([&]() -> PyObject* {
    reinterpret_cast<PyCore*>(self.get())->core = new engine::GuardedCore(core_factory());
    return self.release();
  });
}

// Core.open(url): a core whose records live in the store `url` names. The
// store is opened (file I/O, perhaps waiting for another process) without the
// thread state.
PyObject* core_open(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"url"};
    std::array<PyObject*, 1> bound{};
    std::string url;
    if (!bind_arguments("Core.open", kNames, args, nargs, kwnames, bound) ||
        !convert_str("url", bound[0], url)) {
      return nullptr;
    }
    Result<engine::CoreFactory> factory =
        without_thread_state([&](ReleasedThreadState&) { return open_core_factory(url); });
    if (!factory.ok()) return raise_error(factory.error());
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef self = PyRef::steal(alloc(type, 0));
    if (!self) return nullptr;
    reinterpret_cast<PyCore*>(self.get())->core = new engine::GuardedCore(std::move(*factory));
    return self.release();
  });
}

void core_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<PyCore*>(self)->core;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyObject* core_handle_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return run_command(reinterpret_cast<PyCore*>(self)->core, args, nargs, kwnames,
                     "Core.handle_json");
}

PyObject* core_reset(PyObject* self, PyObject*) {
  return reset_core(*reinterpret_cast<PyCore*>(self)->core);
}

PyMethodDef core_methods[] = {
    {"handle_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(core_handle_json)),
     METH_FASTCALL | METH_KEYWORDS, "handle_json($self, command_json)\n--\n\n"},
    {"reset", core_reset, METH_NOARGS, "reset($self)\n--\n\n"},
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(core_open)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "open($type, url)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot core_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(core_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(core_dealloc)},
    {Py_tp_methods, core_methods},
    {Py_tp_doc, const_cast<char*>("Core()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec core_spec = {
    "dovek_native.Core", sizeof(PyCore), 0,
    Py_TPFLAGS_DEFAULT,  // no Py_TPFLAGS_BASETYPE: not subclassable
    core_slots,
};

// ---- runtime functions ---------------------------------------------------------

// Runs a runtime operation with the thread state released. The cancellation
// check briefly takes the thread state back to run pending signal handlers,
// so Ctrl-C interrupts a skill run, a build or an install.
// REQUIRES: called inside guarded().
template <class F>
PyObject* run_runtime(F&& operation) {
  runtime::Environment env = runtime::capture_environment();
  bool interrupted = false;
  Result<std::string> result = without_thread_state([&](ReleasedThreadState& released) {
    runtime::CancelCheck cancel = [&]() {
      if (interrupted) return true;
      released.with_thread_state([&] { interrupted = PyErr_CheckSignals() != 0; });
      return interrupted;
    };
    return operation(env, cancel);
  });
  if (interrupted) return nullptr;  // the signal handler's exception is set
  return result_to_py(result);
}

PyObject* runtime_load_artifact_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"root"};
    std::array<PyObject*, 1> b{};
    std::string root;
    if (!bind_arguments("runtime_load_artifact_json", kNames, args, nargs, kwnames, b) ||
        !convert_str("root", b[0], root)) {
      return nullptr;
    }
    return run_runtime([&](const runtime::Environment&, const runtime::CancelCheck&) {
      return runtime::load_artifact_json(root);
    });
  });
}

PyObject* runtime_list_skills_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"root"};
    std::array<PyObject*, 1> b{};
    std::optional<std::string> root;
    if (!bind_arguments("runtime_list_skills_json", kNames, args, nargs, kwnames, b) ||
        !convert_optional_str("root", b[0], root)) {
      return nullptr;
    }
    return run_runtime([&](const runtime::Environment& env, const runtime::CancelCheck&) {
      return runtime::list_skills_json(root, env);
    });
  });
}

PyObject* runtime_build_skill_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 2> kNames = {"root", "target_dir"};
    std::array<PyObject*, 2> b{};
    std::string root;
    std::optional<std::string> target_dir;
    if (!bind_arguments("runtime_build_skill_json", kNames, args, nargs, kwnames, b) ||
        !convert_str("root", b[0], root) || !convert_optional_str("target_dir", b[1], target_dir)) {
      return nullptr;
    }
    return run_runtime([&](const runtime::Environment& env, const runtime::CancelCheck& cancel) {
      return runtime::build_skill_json(root, target_dir, env, cancel);
    });
  });
}

PyObject* runtime_run_skill_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 3> kNames = {"root", "input_json", "timeout_seconds"};
    std::array<PyObject*, 3> b{};
    std::string root;
    std::string_view input_json;  // borrowed from the str for the whole call
    uint64_t timeout_seconds = 0;
    if (!bind_arguments("runtime_run_skill_json", kNames, args, nargs, kwnames, b) ||
        !convert_str("root", b[0], root) || !borrow_str("input_json", b[1], input_json) ||
        !convert_u64("timeout_seconds", b[2], timeout_seconds)) {
      return nullptr;
    }
    return run_runtime([&](const runtime::Environment& env, const runtime::CancelCheck& cancel) {
      return runtime::run_skill_json(root, input_json, timeout_seconds, env, cancel);
    });
  });
}

PyObject* runtime_install_local_skill_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 4> kNames = {"source", "root", "skill_id",
                                                          "overwrite"};
    std::array<PyObject*, 4> b{};
    std::string source;
    std::optional<std::string> root, skill_id;
    bool overwrite = false;
    if (!bind_arguments("runtime_install_local_skill_json", kNames, args, nargs, kwnames, b) ||
        !convert_str("source", b[0], source) || !convert_optional_str("root", b[1], root) ||
        !convert_optional_str("skill_id", b[2], skill_id) ||
        !convert_bool("overwrite", b[3], overwrite)) {
      return nullptr;
    }
    return run_runtime([&](const runtime::Environment& env, const runtime::CancelCheck& cancel) {
      return runtime::install_local_skill_json(source, root, skill_id, overwrite, env, cancel);
    });
  });
}

template <class F>
constexpr PyCFunction fastcall(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Module-level functions, in the order they are added to the module.
PyMethodDef functions[] = {
    {"handle_json", fastcall(handle_json), METH_FASTCALL | METH_KEYWORDS,
     "handle_json(command_json)\n--\n\n"},
    {"reset", reset, METH_NOARGS, "reset()\n--\n\n"},
    {"runtime_load_artifact_json", fastcall(runtime_load_artifact_json),
     METH_FASTCALL | METH_KEYWORDS, "runtime_load_artifact_json(root)\n--\n\n"},
    {"runtime_list_skills_json", fastcall(runtime_list_skills_json), METH_FASTCALL | METH_KEYWORDS,
     "runtime_list_skills_json(root)\n--\n\n"},
    {"runtime_build_skill_json", fastcall(runtime_build_skill_json), METH_FASTCALL | METH_KEYWORDS,
     "runtime_build_skill_json(root, target_dir)\n--\n\n"},
    {"runtime_run_skill_json", fastcall(runtime_run_skill_json), METH_FASTCALL | METH_KEYWORDS,
     "runtime_run_skill_json(root, input_json, timeout_seconds)\n--\n\n"},
    {"runtime_install_local_skill_json", fastcall(runtime_install_local_skill_json),
     METH_FASTCALL | METH_KEYWORDS,
     "runtime_install_local_skill_json(source, root, skill_id, overwrite)\n--\n\n"},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "dovek_native",  // m_name
    nullptr,         // m_doc: empty
    0,               // m_size: single-phase, no per-module state
    nullptr,         // m_methods: members are added by the initialiser, in order
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module is created once per process and cached; another interpreter
// gets ImportError.
PyObject* g_module = nullptr;
int64_t g_interpreter_id = -1;

PyObject* create_module() {
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;

  if (!create_internal_fault_type()) return nullptr;

  PyRef core_type = PyRef::steal(PyType_FromSpec(&core_spec));
  if (!core_type || PyModule_AddObjectRef(module.get(), "Core", core_type.get()) < 0)
    return nullptr;

  // Created now, not on first use: a fork while another thread is still
  // constructing it would leave the child waiting on its initialisation.
  (void)global_core();
  if (!install_process_hooks()) return nullptr;

  PyRef name = PyRef::steal(PyUnicode_FromString("dovek_native"));
  if (!name) return nullptr;
  for (PyMethodDef& def : functions) {
    PyRef fn = PyRef::steal(PyCFunction_NewEx(&def, nullptr, name.get()));
    if (!fn || PyModule_AddObjectRef(module.get(), def.ml_name, fn.get()) < 0) return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace dovek::binding

PyMODINIT_FUNC PyInit_dovek_native() {
  using namespace dovek::binding;
  return guarded([]() -> PyObject* {
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return nullptr;
    if (g_module != nullptr) {
      if (interpreter != g_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "dovek_native cannot be loaded in more than one interpreter per process");
        return nullptr;
      }
      Py_INCREF(g_module);
      return g_module;
    }
    PyObject* module = create_module();
    if (module == nullptr) return nullptr;
    g_module = module;  // the cache keeps its own reference
    Py_INCREF(g_module);
    g_interpreter_id = interpreter;
    return module;
  });
}
