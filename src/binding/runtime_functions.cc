#include "binding/runtime_functions.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "binding/args.h"
#include "binding/py.h"
#include "runtime/api.h"

namespace dovek::binding {
namespace {


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

}  // namespace

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

}  // namespace dovek::binding
