// Tool calls: a short event log of the call rather than the raw result, so a
// failing tool never fails the command.
#include "engine/core.h"

#include <string>

#include "json/write.h"
#include "protocol/encode.h"

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

std::string_view call_tool_into(const tool::ToolCall& call, const json::Tape& tape, size_t input,
                                const std::shared_ptr<tool::Tool>& tool, std::string& storage) {
  // The output is written apart, so that a tool failing halfway leaves
  // nothing of it in the response; the buffer is kept for this thread's
  // next call unless one large output grew it.
  constexpr size_t kKeptOutputBytes = size_t{64} << 10;
  thread_local std::string t_output;
  json::Writer out(std::move(t_output), 0);
  const Status status = tool ? tool->invoke_tape_into(tape, input, out)
                             : Status(Error("tool not found: " + call.name));
  const std::string_view response =
      protocol::encode_tool_events_into(call, tape, input, status, out.text(), storage);
  t_output = out.release();
  if (t_output.capacity() > kKeptOutputBytes) std::string().swap(t_output);
  return response;
}

json::Tape& spare_tool_tape() {
  thread_local json::Tape t_tape;
  return t_tape;
}

std::vector<event::Event> Core::call_tool_events(tool::ToolCall call) {
  std::shared_ptr<tool::Tool> tool = registry.get(call.name);
  return tool_call_events(std::move(call), tool);
}

}  // namespace dovek::engine
