// Tools: named objects the core can invoke with a JSON input, kept in a
// Registry by name.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "json/read.h"
#include "json/tape.h"
#include "json/value.h"
#include "json/write.h"

namespace dovek::tool {

// A request to invoke the tool `name` with `input` (any JSON value, null
// included); `id` is echoed in the events of the call.
struct ToolCall {
  std::string id;
  std::string name;
  json::Value input;

  bool operator==(const ToolCall&) const = default;
};

// Object or array form ("struct ToolCall", 3 elements); all three keys
// required, `input` may be null.
[[nodiscard]] Result<ToolCall> decode_tool_call(json::Cursor& c);
// The same, except that the input is left null and unread: the index of its
// first token in the cursor's tape is stored in `input_token`, for a caller
// that takes the input from the tape itself.
[[nodiscard]] Result<ToolCall> decode_tool_call(json::Cursor& c, size_t& input_token);

// Interface of a tool object. Tools are shared: the registry and every copy
// of it hold references to the same object.
// Thread safety: invoke may run without the owning core's lock (a core calls
// a tool after taking it out of the registry), so on several threads at
// once: a tool guards its own state.
class Tool {
 public:
  virtual ~Tool() = default;
  // For tool listings (what an application hands a model); the core's
  // commands never call these two. No description by default; the input
  // schema is null when the tool has none.
  virtual std::optional<std::string_view> description() const { return std::nullopt; }
  virtual const json::Value& input_schema() const;
  // Runs the tool to completion on its input, the value at token `index` of
  // `tape` (which it may only read: the caller echoes it afterwards): writes
  // the output value with `out` (an empty writer of the caller's) and
  // returns ok, or returns the tool's error (the caller then discards
  // whatever `out` holds).
  [[nodiscard]] virtual Status invoke(const json::Tape& tape, size_t index, json::Writer& out) = 0;
};

// A tool that produces its output as a value (a skill's output object, a
// test's fixed answer): invoke() builds the input Value from the tape, and
// writes the value invoke_value() returns.
class ValueTool : public Tool {
 public:
  [[nodiscard]] Status invoke(const json::Tape& tape, size_t index, json::Writer& out) final;
  // The tool's output for `input`, or its error.
  [[nodiscard]] virtual Result<json::Value> invoke_value(const json::Value& input) = 0;
};

// The one way a tool is run, whatever its input came from (a call_tool
// command's text, a model's tool call): `tool` (nullptr: none is registered
// under `name`) on the input at token `index` of `tape`, as Tool::invoke.
// Without a tool, the error "tool not found: {name}".
[[nodiscard]] Status invoke(const std::shared_ptr<Tool>& tool, std::string_view name,
                            const json::Tape& tape, size_t index, json::Writer& out);

// An ordered map from tool name (bytewise) to a shared tool. Copying a
// registry copies the map and shares the tools.
// Thread safety: a plain value; const access from many threads is safe.
class Registry {
 public:
  // Registers `tool` under `name`, replacing any tool registered there. The
  // core never calls this; embedders and tests do.
  void insert(std::string name, std::shared_ptr<Tool> tool);

  // Unregisters the tool under exactly `name`; true when there was one.
  bool remove(std::string_view name);

  // A new shared reference to the tool registered under exactly `name`, or
  // nullptr.
  std::shared_ptr<Tool> get(std::string_view name) const;

  // Looks up call.name and invokes the tool (tool::invoke) on call.input:
  // the output as a value. Error "tool not found: {name}" when no tool has
  // that name; a tool's own error passes through unchanged. The registry is
  // not changed.
  [[nodiscard]] Result<json::Value> call(const ToolCall& call) const;

  // The tools in name order (bytewise).
  auto begin() const { return tools_.begin(); }
  auto end() const { return tools_.end(); }
  size_t size() const { return tools_.size(); }
  bool empty() const { return tools_.empty(); }

 private:
  std::map<std::string, std::shared_ptr<Tool>, std::less<>> tools_;
};

}  // namespace dovek::tool
