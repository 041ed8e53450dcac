// Tools that a Python `Core` registers: Python functions, and installed
// skills run as child processes. Both are invoked by the engine without the
// core's lock and without the thread state; each takes the thread state
// itself (PyGILState_Ensure) for what touches Python.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/error.h"
#include "binding/py.h"
#include "domain/tool.h"
#include "json/value.h"

namespace dovek::binding {

// Where a Python tool's function lives: one strong reference, owned by the
// Python `Core` that registered it (which shows it to the garbage collector
// and releases it), never by the engine's registry. A tool still in a
// registry after its core let go of the function finds null here.
// Thread safety: `function` is read and written only with the thread state.
struct ToolSlot {
  PyObject* function = nullptr;
};

class PythonTool final : public tool::Tool {
 public:
  PythonTool(std::string name, std::shared_ptr<ToolSlot> slot,
             std::optional<std::string> description, json::Value input_schema)
      : name_(std::move(name)),
        slot_(std::move(slot)),
        description_(std::move(description)),
        input_schema_(std::move(input_schema)) {}

  std::optional<std::string_view> description() const override { return description_; }
  const json::Value& input_schema() const override { return input_schema_; }
  // Calls the function with the input converted to Python straight from the
  // tape, and writes its return value as JSON text without a Value. An
  // Exception becomes the error str(exc) (its class name when that is
  // empty); any other BaseException is kept for the command's caller to
  // raise (take_pending_exception).
  Status invoke(const json::Tape& tape, size_t index, json::Writer& out) override;

 private:
  const std::string name_;
  const std::shared_ptr<ToolSlot> slot_;
  const std::optional<std::string> description_;
  const json::Value input_schema_;
};

class SkillTool final : public tool::ValueTool {
 public:
  // Reads the skill's manifest and input schema (their errors unchanged).
  static Result<std::shared_ptr<SkillTool>> load(std::string root, uint64_t timeout_seconds);

  std::optional<std::string_view> description() const override { return description_; }
  const json::Value& input_schema() const override { return input_schema_; }
  // Runs the skill on the input under the time limit; the skill's output
  // object or the run's error. A pending signal (Ctrl-C) kills the skill, and
  // its exception is kept for the command's caller to raise.
  Result<json::Value> invoke_value(const json::Value& input) override;

 private:
  SkillTool(std::string root, uint64_t timeout_seconds, std::string description,
            json::Value input_schema)
      : root_(std::move(root)),
        timeout_seconds_(timeout_seconds),
        description_(std::move(description)),
        input_schema_(std::move(input_schema)) {}

  const std::string root_;
  const uint64_t timeout_seconds_;
  const std::string description_;
  const json::Value input_schema_;
};

// Raises, on this thread, the exception that a tool invoked by this thread's
// last command kept for its caller (a KeyboardInterrupt, say), and returns
// true; false when there is none.
// REQUIRES: the thread state held.
bool take_pending_exception();

}  // namespace dovek::binding
