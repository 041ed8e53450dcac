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
//       def read_json(self, kind: RecordKind, key: str | None = None, *,
//                     last: int | None = None, before: int | None = None) -> str
//       def keys_json(self, kind: RecordKind) -> str
//       def model_json(self) -> str
//       def delete(self, kind: RecordKind, key: str) -> bool
//       def close(self) -> None                   # later calls raise RuntimeError
//       def __enter__(self) -> Core               # `with` closes the core at its end
//       def __exit__(self, exc_type, exc_value, traceback) -> None
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

#include <cstdint>

#include "binding/commands.h"
#include "binding/core_type.h"
#include "binding/lifecycle.h"
#include "binding/py.h"
#include "binding/runtime_functions.h"

namespace dovek::binding {
namespace {

// ---- module-level command functions ----------------------------------------

PyObject* handle_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_command(nullptr, args, nargs, kwnames, "handle_json");
}

PyObject* reset(PyObject*, PyObject*) {
  return reset_core(global_core(), [](ReleasedThreadState&) {});
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

  PyRef core_type = PyRef::steal(create_core_type());
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
