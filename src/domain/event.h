// Event: what chat turns, task runs and tool calls produce, in the order the
// engine appended them. A tagged union of five alternatives; on the wire one
// object whose `type` names the alternative, its fields after it.
#pragma once

#include <string>
#include <variant>

#include "json/value.h"

namespace dovek::event {

// type "text": a prompt or reply text.
struct Text {
  std::string value;
  bool operator==(const Text&) const = default;
};

// type "tool_call": echo of a tool call request.
struct ToolCallEvent {
  std::string id;
  std::string name;
  json::Value input;
  bool operator==(const ToolCallEvent&) const = default;
};

// type "tool_result": a tool's output.
struct ToolResult {
  std::string id;
  json::Value value;
  bool operator==(const ToolResult&) const = default;
};

// type "error": the outermost message of a failure reported as data.
struct ErrorEvent {
  std::string message;
  bool operator==(const ErrorEvent&) const = default;
};

// type "done": part of the record, emitted by no flow of the core.
struct Done {
  bool operator==(const Done&) const = default;
};

// Alternatives in declaration order. protocol::write_record writes one.
using Event = std::variant<Text, ToolCallEvent, ToolResult, ErrorEvent, Done>;

}  // namespace dovek::event
