// Tools: named objects the core can invoke with a JSON input, kept in a
// Registry by name.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "base/error.h"
#include "json/read.h"
#include "json/value.h"

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

// Interface of a tool object. Tools are shared: the registry and every copy
// of it hold references to the same object.
// Thread safety: invoke runs under the owning core's lock, so one invocation
// at a time per core; a tool shared between cores must guard itself.
class Tool {
 public:
  virtual ~Tool() = default;
  // For embedders and listings; the core itself never calls these two.
  virtual std::string_view name() const = 0;
  virtual std::string_view description() const = 0;
  // Runs the tool to completion: its output value, or its error.
  [[nodiscard]] virtual Result<json::Value> invoke(json::Value input) = 0;
};

// An ordered map from tool name (bytewise) to a shared tool. Copying a
// registry copies the map and shares the tools.
// Thread safety: a plain value; const access from many threads is safe.
class Registry {
 public:
  // Registers `tool` under `name`, replacing any tool registered there. The
  // core never calls this; embedders and tests do.
  void insert(std::string name, std::shared_ptr<Tool> tool);

  // A new shared reference to the tool registered under exactly `name`, or
  // nullptr.
  std::shared_ptr<Tool> get(std::string_view name) const;

  // Looks up call.name and invokes the tool with call.input (moved). Error
  // "tool not found: {name}" when no tool has that name; a tool's own error
  // passes through unchanged. The registry is not changed.
  [[nodiscard]] Result<json::Value> call(ToolCall call) const;

  size_t size() const { return tools_.size(); }
  bool empty() const { return tools_.empty(); }

 private:
  std::map<std::string, std::shared_ptr<Tool>, std::less<>> tools_;
};

}  // namespace dovek::tool
