// Tool calls: a short event log of the call rather than the raw result, so a
// failing tool never fails the command.
#include "engine/core.h"

namespace dovek::engine {

std::vector<event::Event> Core::call_tool_events(tool::ToolCall call) {
  std::vector<event::Event> events;
  events.reserve(2);
  std::string id = call.id;
  Result<json::Value> result = Error("");
  if (registry.get(call.name) == nullptr) {
    // No tool will read the input, so the echo can take it instead of a deep
    // copy; Registry::call still reports the missing tool.
    events.emplace_back(event::ToolCallEvent{call.id, call.name, std::move(call.input)});
    result = registry.call(std::move(call));
  } else {
    events.emplace_back(event::ToolCallEvent{call.id, call.name, call.input});
    result = registry.call(std::move(call));
  }
  if (result.ok()) {
    events.emplace_back(event::ToolResult{std::move(id), std::move(result).value()});
  } else {
    events.emplace_back(event::ErrorEvent{result.error().message()});
  }
  return events;
}

}  // namespace dovek::engine
