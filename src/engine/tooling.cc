// Tool calls: a short event log of the call rather than the raw result, so a
// failing tool never fails the command.
#include "engine/core.h"

namespace dovek::engine {

std::vector<event::Event> Core::call_tool_events(tool::ToolCall call) {
  std::vector<event::Event> events;
  events.reserve(2);
  events.emplace_back(event::ToolCallEvent{call.id, call.name, call.input});
  std::string id = call.id;
  Result<json::Value> result = registry.call(std::move(call));
  if (result.ok()) {
    events.emplace_back(event::ToolResult{std::move(id), std::move(result).value()});
  } else {
    events.emplace_back(event::ErrorEvent{result.error().message()});
  }
  return events;
}

}  // namespace dovek::engine
