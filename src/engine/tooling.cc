// Tool calls: a short event log of the call rather than the raw result, so a
// failing tool never fails the command.
#include "engine/core.h"

namespace dovek::engine {

std::vector<event::Event> tool_call_events(tool::ToolCall call,
                                           const std::shared_ptr<tool::Tool>& tool) {
  // The tool only reads the input, so the echo takes it afterwards instead
  // of a deep copy.
  Result<json::Value> result = tool::invoke(tool, call);
  std::vector<event::Event> events;
  events.reserve(2);
  std::string id = call.id;
  events.emplace_back(
      event::ToolCallEvent{std::move(call.id), std::move(call.name), std::move(call.input)});
  if (result.ok()) {
    events.emplace_back(event::ToolResult{std::move(id), std::move(result).value()});
  } else {
    events.emplace_back(event::ErrorEvent{result.error().message()});
  }
  return events;
}

std::vector<event::Event> Core::call_tool_events(tool::ToolCall call) {
  std::shared_ptr<tool::Tool> tool = registry.get(call.name);
  return tool_call_events(std::move(call), tool);
}

}  // namespace dovek::engine
