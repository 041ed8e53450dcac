// The CPython extension module dovek_native, on the stable ABI (limited API
// 3.11; Py_LIMITED_API is defined by the build).
//
// Python-level surface (kept in step with dovek_native.pyi):
//
//   class Core:                                   # not subclassable
//       def __new__(cls) -> Core
//       @classmethod
//       def open(cls, url: str) -> Core           # a core on a store (file or server)
//       def handle_json(self, command_json: str) -> str
//       def reset(self) -> None
//       def add_tool(self, name: str, function: Callable[[Any], Any], *,
//                    description: str | None = None, input_schema: Any = None) -> None
//       def add_skill_tool(self, name: str, root: str, timeout_seconds: int) -> None
//       def remove_tool(self, name: str) -> bool
//       def tools_json(self) -> str
//       def read_json(self, kind: str, key: str | None = None) -> str
//       def model_json(self) -> str
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
#include <structmember.h>  // T_PYSSIZET, READONLY: the names 3.11 knows

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "binding/args.h"
#include "binding/convert.h"
#include "binding/core_factory.h"
#include "binding/durable.h"
#include "binding/lifecycle.h"
#include "binding/py.h"
#include "binding/tools.h"
#include "engine/core.h"
#include "engine/guarded_core.h"
#include "engine/readback.h"
#include "protocol/tool_list.h"
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

template <class F>
constexpr PyCFunction fastcall(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// ---- module-level command functions ----------------------------------------

PyObject* handle_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_command(nullptr, args, nargs, kwnames, "handle_json");
}

PyObject* reset(PyObject*, PyObject*) {
  return reset_core(global_core(), [](ReleasedThreadState&) {});
}

// ---- class Core ----------------------------------------------------------------

// The functions of a Core's Python tools, by name: the only strong references
// to them (see ToolSlot), so that the garbage collector sees them through
// the Core. Read and changed only with the thread state held; changed only
// under the core's lock too, so that it and the engine's registry change
// together.
using ToolSlots = std::map<std::string, std::shared_ptr<ToolSlot>, std::less<>>;

struct PyCore {
  PyObject_HEAD
  engine::GuardedCore* core;  // owned; destroyed in dealloc
  ToolSlots* slots;           // owned; null until the core is built
  PyObject* weakrefs;         // the weak references to this object (CPython's list)
};

PyCore* as_core(PyObject* self) { return reinterpret_cast<PyCore*>(self); }

// Releases the functions of `slots` (any Python code their release runs may
// use the core again: no lock is held here).
// REQUIRES: the thread state held.
void release_slots(ToolSlots& slots) {
  for (auto& [name, slot] : slots) Py_CLEAR(slot->function);
}

PyObject* core_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if ((args && PyTuple_Size(args) > 0) || (kwargs && PyDict_Size(kwargs) > 0)) {
    PyErr_SetString(PyExc_TypeError, "Core() takes no arguments");
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyRef self = PyRef::steal(alloc(type, 0));
  if (!self) return nullptr;
  return guarded([&]() -> PyObject* {
    as_core(self.get())->slots = new ToolSlots();
    // Built without the thread state: a new core joins the fork protocol's
    // list under a lock that a fork holds while it waits for busy cores.
    as_core(self.get())->core = without_thread_state(
        [](ReleasedThreadState&) { return new engine::GuardedCore(core_factory()); });
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
    as_core(self.get())->slots = new ToolSlots();
    as_core(self.get())->core = new engine::GuardedCore(std::move(*factory));
    return self.release();
  });
}

int core_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  if (ToolSlots* slots = as_core(self)->slots) {
    for (auto& [name, slot] : *slots) Py_VISIT(slot->function);
  }
  return 0;
}

int core_clear(PyObject* self) {
  if (ToolSlots* slots = as_core(self)->slots) {
    ToolSlots dropped;
    dropped.swap(*slots);
    release_slots(dropped);
  }
  return 0;
}

// The engine core is destroyed without the thread state, as reset() does: a
// core holding a million sessions takes a while to free, and other threads
// must go on meanwhile.
void core_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_core(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  core_clear(self);
  delete as_core(self)->slots;
  if (engine::GuardedCore* core = std::exchange(as_core(self)->core, nullptr)) {
    without_thread_state([core](ReleasedThreadState&) {
      delete core;
      return 0;
    });
  }
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyObject* core_handle_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return run_command(as_core(self)->core, args, nargs, kwnames, "Core.handle_json");
}

PyObject* core_reset(PyObject* self, PyObject*) {
  // The fresh core has no tools: the functions of the old ones go with it.
  ToolSlots dropped;
  PyObject* out = reset_core(*as_core(self)->core, [&](ReleasedThreadState& released) {
    released.with_thread_state([&] { dropped.swap(*as_core(self)->slots); });
  });
  release_slots(dropped);
  return out;
}

// Changes the tools of `self`: `engine_change(Core&)` under the core's lock
// without the thread state, then `python_change()` (which must not throw)
// with the thread state still under the lock, so that the engine's registry
// and the slots never disagree. The thread state is released before waiting
// for the lock, so a busy core stalls no other Python thread.
template <class E, class P>
Status change_tools(PyCore* self, E&& engine_change, P&& python_change) {
  return without_thread_state([&](ReleasedThreadState& released) {
    return self->core->with_core([&](engine::Core& core) {
      engine_change(core);
      released.with_thread_state(python_change);
    });
  });
}

// Puts `slot` under `name` in the slots, in place of any slot there; returns
// the function the replaced slot held (a reference the caller releases).
// `spare` is a node for the map, made beforehand, so that nothing here can
// fail.
PyObject* put_slot(ToolSlots& slots, ToolSlots::node_type&& spare) {
  auto it = slots.find(spare.key());
  if (it == slots.end()) {
    slots.insert(std::move(spare));
    return nullptr;
  }
  PyObject* old = std::exchange(it->second->function, nullptr);
  it->second.swap(spare.mapped());
  return old;
}

// Registers `tool` under `name` (replacing any tool of that name), with
// `function` as its Python function when it has one. Returns None, or
// nullptr with an exception set.
PyObject* register_tool(PyCore* self, std::string name, std::shared_ptr<tool::Tool> tool,
                        std::shared_ptr<ToolSlot> slot, PyRef function) {
  ToolSlots spare_map;
  spare_map.emplace(name, slot ? slot : std::make_shared<ToolSlot>());
  ToolSlots::node_type spare = spare_map.extract(spare_map.begin());
  PyObject* replaced = nullptr;
  Status status = change_tools(
      self, [&](engine::Core& core) { core.register_tool(name, tool); },
      [&] {
        if (slot) slot->function = function.release();
        replaced = put_slot(*self->slots, std::move(spare));
      });
  Py_XDECREF(replaced);
  if (!status.ok()) return raise_error(status.error());
  return new_none();
}

PyObject* core_add_tool(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 4> kNames = {"name", "function", "description",
                                                          "input_schema"};
    std::array<PyObject*, 4> b{};
    std::string name;
    std::optional<std::string> description;
    if (!bind_arguments("Core.add_tool", kNames, args, nargs, kwnames, b, 2, 2) ||
        !convert_str("name", b[0], name) ||
        !convert_optional_str("description", b[2] ? b[2] : Py_None, description)) {
      return nullptr;
    }
    if (!PyCallable_Check(b[1])) {
      std::string message = "argument 'function': expected a callable, got " + type_name(b[1]);
      PyErr_SetString(PyExc_TypeError, message.c_str());
      return nullptr;
    }
    if (!description) {
      PyRef doc = PyRef::steal(PyObject_GetAttrString(b[1], "__doc__"));
      if (!doc) PyErr_Clear();
      if (doc && PyUnicode_Check(doc.get()) &&
          !convert_str("__doc__", doc.get(), description.emplace())) {
        return nullptr;
      }
    }
    json::Value schema;
    if (b[3] != nullptr) {
      Result<json::Value> converted = from_python(b[3], "input_schema");
      if (!converted.ok()) {
        PyErr_SetString(PyExc_TypeError, converted.error().message().c_str());
        return nullptr;
      }
      schema = std::move(converted).value();
    }
    auto slot = std::make_shared<ToolSlot>();
    auto tool = std::make_shared<PythonTool>(name, slot, std::move(description), std::move(schema));
    return register_tool(as_core(self), std::move(name), std::move(tool), std::move(slot),
                         PyRef::borrow(b[1]));
  });
}

PyObject* core_add_skill_tool(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 3> kNames = {"name", "root", "timeout_seconds"};
    std::array<PyObject*, 3> b{};
    std::string name, root;
    uint64_t timeout_seconds = 0;
    if (!bind_arguments("Core.add_skill_tool", kNames, args, nargs, kwnames, b) ||
        !convert_str("name", b[0], name) || !convert_str("root", b[1], root) ||
        !convert_u64("timeout_seconds", b[2], timeout_seconds)) {
      return nullptr;
    }
    Result<std::shared_ptr<SkillTool>> tool = without_thread_state(
        [&](ReleasedThreadState&) { return SkillTool::load(std::move(root), timeout_seconds); });
    if (!tool.ok()) return raise_error(tool.error());
    return register_tool(as_core(self), std::move(name), std::move(tool).value(), nullptr, PyRef());
  });
}

PyObject* core_remove_tool(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"name"};
    std::array<PyObject*, 1> b{};
    std::string name;
    if (!bind_arguments("Core.remove_tool", kNames, args, nargs, kwnames, b) ||
        !convert_str("name", b[0], name)) {
      return nullptr;
    }
    bool removed = false;
    PyObject* released_function = nullptr;
    std::shared_ptr<ToolSlot> released_slot;  // destroyed with the thread state held
    Status status = change_tools(
        as_core(self), [&](engine::Core& core) { removed = core.registry.remove(name); },
        [&] {
          ToolSlots& slots = *as_core(self)->slots;
          auto it = slots.find(name);
          if (it == slots.end()) return;
          released_function = std::exchange(it->second->function, nullptr);
          released_slot = std::move(it->second);
          slots.erase(it);
        });
    Py_XDECREF(released_function);
    if (!status.ok()) return raise_error(status.error());
    return new_bool(removed);
  });
}

PyObject* core_tools_json(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    std::string text;
    Status status = without_thread_state([&](ReleasedThreadState&) {
      return as_core(self)->core->with_core(
          [&](engine::Core& core) { text = protocol::encode_tool_list(core.registry); });
    });
    if (!status.ok()) return raise_error(status.error());
    return to_str(text);
  });
}

// Runs a read of the core with the thread state released (it waits for the
// core's lock like a command) and returns its text as a str.
template <class F>
PyObject* read_core(PyObject* self, F&& read) {
  Result<std::string> text =
      without_thread_state([&](ReleasedThreadState&) { return read(*as_core(self)->core); });
  if (!text.ok()) return raise_error(text.error());
  return to_str(*text);
}

PyObject* core_read_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 2> kNames = {"kind", "key"};
    std::array<PyObject*, 2> b{};
    std::string kind;
    std::optional<std::string> key;
    if (!bind_arguments("Core.read_json", kNames, args, nargs, kwnames, b, 1, 2) ||
        !convert_str("kind", b[0], kind) ||
        !convert_optional_str("key", b[1] ? b[1] : Py_None, key)) {
      return nullptr;
    }
    if (!engine::parse_record_kind(kind)) {
      PyErr_SetString(PyExc_ValueError, engine::unknown_record_kind_message(kind).c_str());
      return nullptr;
    }
    return read_core(self, [&](engine::GuardedCore& core) {
      return core.read_json(kind, key ? std::optional<std::string_view>(*key) : std::nullopt);
    });
  });
}

PyObject* core_model_json(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    return read_core(self, [](engine::GuardedCore& core) { return core.model_json(); });
  });
}

PyMethodDef core_methods[] = {
    {"handle_json", fastcall(core_handle_json), METH_FASTCALL | METH_KEYWORDS,
     "handle_json($self, command_json)\n--\n\n"},
    {"reset", core_reset, METH_NOARGS, "reset($self)\n--\n\n"},
    {"add_tool", fastcall(core_add_tool), METH_FASTCALL | METH_KEYWORDS,
     "add_tool($self, name, function, *, description=None, input_schema=None)\n--\n\n"
     "Registers a Python function as the tool `name` (replacing any tool of that name)."},
    {"add_skill_tool", fastcall(core_add_skill_tool), METH_FASTCALL | METH_KEYWORDS,
     "add_skill_tool($self, name, root, timeout_seconds)\n--\n\n"
     "Registers the skill at `root` as the tool `name`, run under the time limit."},
    {"remove_tool", fastcall(core_remove_tool), METH_FASTCALL | METH_KEYWORDS,
     "remove_tool($self, name)\n--\n\nUnregisters the tool `name`; whether there was one."},
    {"tools_json", core_tools_json, METH_NOARGS,
     "tools_json($self)\n--\n\nThe tools as a JSON array of {name, description, input_schema}."},
    {"read_json", fastcall(core_read_json), METH_FASTCALL | METH_KEYWORDS,
     "read_json($self, kind, key=None)\n--\n\n"
     "The record of `kind` under `key` as JSON (null when absent), or all of them."},
    {"model_json", core_model_json, METH_NOARGS,
     "model_json($self)\n--\n\nThe selected model as JSON."},
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(core_open)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "open($type, url)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// A weak reference to a Core is how a tool refers to its own core without
// keeping it alive.
PyMemberDef core_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(PyCore, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot core_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(core_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(core_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(core_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(core_clear)},
    {Py_tp_methods, core_methods},
    {Py_tp_members, core_members},
    {Py_tp_doc, const_cast<char*>("Core()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec core_spec = {
    "dovek_native.Core",
    sizeof(PyCore),
    0,
    // No Py_TPFLAGS_BASETYPE: not subclassable. Garbage-collected: a tool's
    // function may refer back to its core.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
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
