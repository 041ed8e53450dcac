#include "binding/core_type.h"

#include <structmember.h>  // T_PYSSIZET, READONLY: the names 3.11 knows

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "binding/args.h"
#include "binding/commands.h"
#include "binding/core_factory.h"
#include "binding/durable.h"
#include "binding/from_python.h"
#include "binding/py.h"
#include "binding/tools.h"
#include "engine/core.h"
#include "engine/guarded_core.h"
#include "engine/readback.h"
#include "protocol/tool_list.h"

namespace dovek::binding {
namespace {


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

// A closed core refuses every call but close(): true with RuntimeError("core
// is closed") set. Checked before the arguments; the core checks again under
// its lock (a close on another thread may come between).
bool refuse_closed(PyObject* self) {
  if (!as_core(self)->core->closed()) return false;
  raise_error(Error(std::string(engine::kClosedMessage)));
  return true;
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
    // Without the thread state, as in core_new.
    as_core(self.get())->core = without_thread_state(
        [&](ReleasedThreadState&) { return new engine::GuardedCore(std::move(*factory)); });
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
  if (refuse_closed(self)) return nullptr;
  return run_command(as_core(self)->core, args, nargs, kwnames, "Core.handle_json");
}

PyObject* core_reset(PyObject* self, PyObject*) {
  if (refuse_closed(self)) return nullptr;
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
    if (refuse_closed(self)) return nullptr;
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
    if (refuse_closed(self)) return nullptr;
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
    if (refuse_closed(self)) return nullptr;
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
    if (refuse_closed(self)) return nullptr;
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

// read_json(kind, key=None, *, last=None, before=None): `last` (and
// `before`, which needs it) asks for a page of a session's history.
PyObject* core_read_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (refuse_closed(self)) return nullptr;
    static constexpr std::array<const char*, 4> kNames = {"kind", "key", "last", "before"};
    std::array<PyObject*, 4> b{};
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
    PyObject* last_arg = b[2] == Py_None ? nullptr : b[2];
    PyObject* before_arg = b[3] == Py_None ? nullptr : b[3];
    if (last_arg == nullptr && before_arg == nullptr) {
      return read_core(self, [&](engine::GuardedCore& core) {
        return core.read_json(kind, key ? std::optional<std::string_view>(*key) : std::nullopt);
      });
    }
    if (kind != "session") {
      PyErr_Format(PyExc_ValueError,
                   "`last` and `before` page a session's messages; kind `%s` has none",
                   kind.c_str());
      return nullptr;
    }
    if (last_arg == nullptr) {
      PyErr_SetString(PyExc_ValueError, "`before` needs `last`: how many messages to read");
      return nullptr;
    }
    if (!key) {
      PyErr_SetString(PyExc_ValueError, "`last` needs a key: pages are of one session");
      return nullptr;
    }
    uint64_t last = 0;
    uint64_t before = 0;
    if (!convert_count("last", last_arg, last) ||
        (before_arg != nullptr && !convert_count("before", before_arg, before))) {
      return nullptr;
    }
    return read_core(self, [&](engine::GuardedCore& core) {
      return core.read_session_page_json(*key, static_cast<size_t>(last),
                                         before_arg
                                             ? std::optional<size_t>(static_cast<size_t>(before))
                                             : std::nullopt);
    });
  });
}

PyObject* core_keys_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (refuse_closed(self)) return nullptr;
    static constexpr std::array<const char*, 1> kNames = {"kind"};
    std::array<PyObject*, 1> b{};
    std::string kind;
    if (!bind_arguments("Core.keys_json", kNames, args, nargs, kwnames, b) ||
        !convert_str("kind", b[0], kind)) {
      return nullptr;
    }
    if (!engine::parse_record_kind(kind)) {
      PyErr_SetString(PyExc_ValueError, engine::unknown_record_kind_message(kind).c_str());
      return nullptr;
    }
    return read_core(self, [&](engine::GuardedCore& core) { return core.keys_json(kind); });
  });
}

PyObject* core_model_json(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (refuse_closed(self)) return nullptr;
    return read_core(self, [](engine::GuardedCore& core) { return core.model_json(); });
  });
}

PyObject* core_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (refuse_closed(self)) return nullptr;
    static constexpr std::array<const char*, 2> kNames = {"kind", "key"};
    std::array<PyObject*, 2> b{};
    std::string kind, key;
    if (!bind_arguments("Core.delete", kNames, args, nargs, kwnames, b) ||
        !convert_str("kind", b[0], kind) || !convert_str("key", b[1], key)) {
      return nullptr;
    }
    if (!engine::parse_record_kind(kind)) {
      PyErr_SetString(PyExc_ValueError, engine::unknown_record_kind_message(kind).c_str());
      return nullptr;
    }
    Result<bool> removed = without_thread_state(
        [&](ReleasedThreadState&) { return as_core(self)->core->remove(kind, key); });
    if (!removed.ok()) return raise_error(removed.error());
    return new_bool(*removed);
  });
}

// Waits for a command in flight (without the thread state, as reset does),
// then drops the core's records, its connection and its tools' functions.
PyObject* core_close(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    ToolSlots dropped;
    without_thread_state([&](ReleasedThreadState& released) {
      as_core(self)->core->close(
          [&] { released.with_thread_state([&] { dropped.swap(*as_core(self)->slots); }); });
      return 0;
    });
    release_slots(dropped);
    return new_none();
  });
}

PyObject* core_enter(PyObject* self, PyObject*) {
  if (refuse_closed(self)) return nullptr;
  return Py_NewRef(self);
}

// Closes the core; the exception of the block, if any, propagates.
PyObject* core_exit(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_Format(PyExc_TypeError, "Core.__exit__ takes 3 arguments (%zd given)", nargs);
    return nullptr;
  }
  return core_close(self, nullptr);  // None: the exception, if any, is not swallowed
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
     "read_json($self, kind, key=None, *, last=None, before=None)\n--\n\n"
     "The record of `kind` under `key` as JSON (null when absent), or all of them; with\n"
     "`last`, the session with only its last `last` messages before index `before`."},
    {"keys_json", fastcall(core_keys_json), METH_FASTCALL | METH_KEYWORDS,
     "keys_json($self, kind)\n--\n\nThe keys of the records of `kind` as a JSON array, in key "
     "order."},
    {"model_json", core_model_json, METH_NOARGS,
     "model_json($self)\n--\n\nThe selected model as JSON."},
    {"delete", fastcall(core_delete), METH_FASTCALL | METH_KEYWORDS,
     "delete($self, kind, key)\n--\n\n"
     "Deletes the record of `kind` under `key`; whether there was one."},
    {"close", core_close, METH_NOARGS,
     "close($self)\n--\n\n"
     "Releases the core's records and connection; later calls raise RuntimeError."},
    {"__enter__", core_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", fastcall(core_exit), METH_FASTCALL,
     "__exit__($self, exc_type, exc_value, traceback)\n--\n\n"},
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

}  // namespace

PyObject* create_core_type() { return PyType_FromSpec(&core_spec); }

}  // namespace dovek::binding
