#include "binding/tools.h"

#include <array>
#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>

#include "binding/args.h"
#include "binding/from_python.h"
#include "binding/py.h"
#include "binding/to_python.h"
#include "runtime/api.h"

namespace dovek::binding {
namespace {

// The references a tool call holds while Python code may run, dropped
// together by an ordinary call once the call is over (see
// with_thread_state). PyRefs are not used for them: a PyRef drops its
// reference in its destructor, which a forced unwind runs too.
class CallRefs {
 public:
  CallRefs() = default;
  CallRefs(const CallRefs&) = delete;
  CallRefs& operator=(const CallRefs&) = delete;

  // Keeps `o` (a new reference, or null) and returns it.
  PyObject* keep(PyObject* o) {
    if (o == nullptr) return o;
    if (size_ == held_.size()) {
      Py_DECREF(o);
      throw std::logic_error("a tool call keeps too many references");
    }
    held_[size_++] = o;
    return o;
  }
  // Drops every reference kept. REQUIRES: the thread state held.
  void drop() {
    while (size_ > 0) Py_DECREF(held_[--size_]);
  }
  // Forgets them without dropping them: the thread is ending with the
  // interpreter, and no longer holds it.
  void abandon() { size_ = 0; }

 private:
  std::array<PyObject*, 8> held_{};
  size_t size_ = 0;
};

// Runs `body(CallRefs&)` with the thread state held, taken whether or not
// this thread had released it (a tool runs inside a command that released
// it), and returns its result once the state is released again. The state is
// released, and the references in the CallRefs dropped, by ordinary calls,
// never in a destructor: while the interpreter finalizes, CPython ends a
// daemon thread that waits to take the state back (inside a tool's function,
// say) with a forced unwind (abi::__forced_unwind). That unwind passes
// through without touching the interpreter, which the thread then does not
// hold: the state is left as it is and the references abandoned. Between
// its calls into Python, `body` keeps no reference that a destructor drops.
template <class F>
auto with_thread_state(F&& body) {
  using R = decltype(body(std::declval<CallRefs&>()));
  const PyGILState_STATE state = PyGILState_Ensure();
  CallRefs refs;
  std::optional<R> result;
  std::exception_ptr failure;
  try {
    result.emplace(body(refs));
  } catch (...) {
    failure = std::current_exception();
    if (!failure) {  // the forced unwind, no C++ exception
      refs.abandon();
      throw;
    }
  }
  refs.drop();
  PyGILState_Release(state);
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

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
std::optional<std::string> take_exception_message(CallRefs& refs) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) {
    keep_raised_exception();
    return std::nullopt;
  }
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  refs.keep(type);
  refs.keep(traceback);
  std::string message;
  if (refs.keep(value) != nullptr) {
    PyObject* text = refs.keep(PyObject_Str(value));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    if (utf8 != nullptr) {
      message.assign(utf8, static_cast<size_t>(size));
    } else {
      PyErr_Clear();  // str() failed or does not encode: the class name will do
    }
    if (message.empty()) message = type_name(value);
  }
  if (message.empty()) message = "exception";
  return message;
}

// Calls the tool's function with the argument convert() returns (a new
// reference, or null with an exception set): its return value (kept in
// `refs`), or the error PythonTool::invoke() reports.
// REQUIRES: the thread state held.
template <class Convert>
Result<PyObject*> call(const ToolSlot& slot, const std::string& name, CallRefs& refs,
                       const Convert& convert) {
  if (slot.function == nullptr) return Error("tool not found: " + name);
  PyObject* function = slot.function;
  Py_INCREF(function);  // a call may remove the tool meanwhile
  refs.keep(function);
  PyObject* argument = refs.keep(convert());
  PyObject* result = nullptr;
  if (argument != nullptr) {
    result = refs.keep(PyObject_CallFunctionObjArgs(function, argument, nullptr));
  }
  if (result == nullptr) {
    std::optional<std::string> message = take_exception_message(refs);
    return Error(message ? std::move(*message) : std::string("tool interrupted"));
  }
  return result;
}

}  // namespace

Status PythonTool::invoke(const json::Tape& tape, size_t index, json::Writer& out) {
  return with_thread_state([&](CallRefs& refs) -> Status {
    DOVEK_ASSIGN_OR_RETURN(PyObject * result,
                           call(*slot_, name_, refs, [&] { return to_python(tape, index); }));
    return write_json_text(result, "tool result", out);
  });
}

Result<std::shared_ptr<SkillTool>> SkillTool::load(std::string root, uint64_t timeout_seconds) {
  DOVEK_ASSIGN_OR_RETURN(runtime::SkillToolInfo info, runtime::describe_skill(root));
  return std::shared_ptr<SkillTool>(new SkillTool(std::move(root), timeout_seconds,
                                                  std::move(info.name),
                                                  std::move(info.input_schema)));
}

Result<json::Value> SkillTool::invoke_value(const json::Value& input) {
  // The environment is read as Python threads see it.
  const runtime::Environment env =
      with_thread_state([](CallRefs&) { return runtime::capture_environment(); });
  bool interrupted = false;
  runtime::CancelCheck cancel = [&]() {
    if (interrupted) return true;
    return with_thread_state([&](CallRefs&) {
      if (PyErr_CheckSignals() != 0) {
        keep_raised_exception();
        interrupted = true;
      }
      return interrupted;
    });
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
