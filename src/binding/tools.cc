#include "binding/tools.h"

#include <utility>

#include "binding/args.h"
#include "binding/from_python.h"
#include "binding/py.h"
#include "binding/to_python.h"
#include "runtime/api.h"

namespace dovek::binding {
namespace {

// The thread state for the scope, taken whether or not this thread had
// released it: a tool runs inside a command that released it.
class WithThreadState {
 public:
  WithThreadState() : state_(PyGILState_Ensure()) {}
  ~WithThreadState() { PyGILState_Release(state_); }
  WithThreadState(const WithThreadState&) = delete;
  WithThreadState& operator=(const WithThreadState&) = delete;

 private:
  PyGILState_STATE state_;
};

// An exception that must reach the command's caller as it is. One per
// thread: a tool runs on the thread of the command that invokes it.
struct PendingException {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};
thread_local PendingException t_pending;

// Moves the raised exception into t_pending (dropping an older one).
// REQUIRES: the thread state held, an exception set.
void keep_raised_exception() {
  Py_XDECREF(t_pending.type);
  Py_XDECREF(t_pending.value);
  Py_XDECREF(t_pending.traceback);
  PyErr_Fetch(&t_pending.type, &t_pending.value, &t_pending.traceback);
}

// The message of the raised exception, cleared; or, for a BaseException
// that is not an Exception, nothing: it is kept for the caller instead.
// REQUIRES: the thread state held, an exception set.
std::optional<std::string> take_exception_message() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) {
    keep_raised_exception();
    return std::nullopt;
  }
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), tb = PyRef::steal(traceback);
  std::string message;
  if (v) {
    PyRef text = PyRef::steal(PyObject_Str(v.get()));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8 != nullptr) {
      message.assign(utf8, static_cast<size_t>(size));
    } else {
      PyErr_Clear();  // str() failed or does not encode: the class name will do
    }
    if (message.empty()) message = type_name(v.get());
  }
  if (message.empty()) message = "exception";
  return message;
}

}  // namespace

template <class Convert>
Result<PyRef> PythonTool::call(const Convert& convert) {
  if (slot_->function == nullptr) return Error("tool not found: " + name_);
  PyRef function = PyRef::borrow(slot_->function);  // a call may remove the tool meanwhile
  PyRef argument = PyRef::steal(convert());
  PyRef result;
  if (argument) {
    result = PyRef::steal(PyObject_CallFunctionObjArgs(function.get(), argument.get(), nullptr));
  }
  if (!result) {
    std::optional<std::string> message = take_exception_message();
    return Error(message ? std::move(*message) : std::string("tool interrupted"));
  }
  return result;
}

Status PythonTool::invoke(const json::Tape& tape, size_t index, json::Writer& out) {
  WithThreadState held;
  DOVEK_ASSIGN_OR_RETURN(PyRef result, call([&] { return to_python(tape, index); }));
  return write_json_text(result.get(), "tool result", out);
}

Result<std::shared_ptr<SkillTool>> SkillTool::load(std::string root, uint64_t timeout_seconds) {
  DOVEK_ASSIGN_OR_RETURN(runtime::SkillToolInfo info, runtime::describe_skill(root));
  return std::shared_ptr<SkillTool>(new SkillTool(std::move(root), timeout_seconds,
                                                  std::move(info.name),
                                                  std::move(info.input_schema)));
}

Result<json::Value> SkillTool::invoke_value(const json::Value& input) {
  runtime::Environment env;
  {
    WithThreadState held;  // the environment is read as Python threads see it
    env = runtime::capture_environment();
  }
  bool interrupted = false;
  runtime::CancelCheck cancel = [&]() {
    if (interrupted) return true;
    WithThreadState held;
    if (PyErr_CheckSignals() != 0) {
      keep_raised_exception();
      interrupted = true;
    }
    return interrupted;
  };
  return runtime::run_skill_value(root_, input, timeout_seconds_, env, cancel);
}

bool take_pending_exception() {
  if (t_pending.type == nullptr) return false;
  PyErr_Restore(std::exchange(t_pending.type, nullptr), std::exchange(t_pending.value, nullptr),
                std::exchange(t_pending.traceback, nullptr));
  return true;
}

}  // namespace dovek::binding
