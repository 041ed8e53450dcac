#include "domain/tool.h"

#include <utility>

#include "json/parse.h"

namespace dovek::tool {
namespace {

constexpr std::string_view kToolCallFields[] = {"id", "name", "input"};
constexpr json::RecordShape kToolCallShape{"struct ToolCall", kToolCallFields, 0b111, 3};

}  // namespace

namespace {

// input_token null: the input is built as a Value.
Result<ToolCall> decode_call(json::Cursor& c, size_t* input_token) {
  ToolCall out;
  DOVEK_TRY(c.record(kToolCallShape, [&](size_t i, json::Cursor& f) -> Status {
    switch (i) {
      case 0: return f.string(out.id);
      case 1: return f.string(out.name);
      default:
        if (input_token != nullptr) {
          *input_token = f.index();
          f.skip();
        } else {
          out.input = f.value();
        }
        return ok_status();
    }
  }));
  return out;
}

}  // namespace

Result<ToolCall> decode_tool_call(json::Cursor& c) { return decode_call(c, nullptr); }

Result<ToolCall> decode_tool_call(json::Cursor& c, size_t& input_token) {
  return decode_call(c, &input_token);
}

const json::Value& Tool::input_schema() const {
  static const json::Value kNone;
  return kNone;
}

Status ValueTool::invoke(const json::Tape& tape, size_t index, json::Writer& out) {
  DOVEK_ASSIGN_OR_RETURN(json::Value output, invoke_value(json::to_value(tape, index)));
  out.value(output);
  return ok_status();
}

Status invoke(const std::shared_ptr<Tool>& tool, std::string_view name, const json::Tape& tape,
              size_t index, json::Writer& out) {
  if (!tool) return Error("tool not found: " + std::string(name));
  return tool->invoke(tape, index, out);
}

void Registry::insert(std::string name, std::shared_ptr<Tool> tool) {
  tools_.insert_or_assign(std::move(name), std::move(tool));
}

std::shared_ptr<Tool> Registry::get(std::string_view name) const {
  auto it = tools_.find(name);
  if (it == tools_.end()) return nullptr;
  return it->second;
}

bool Registry::remove(std::string_view name) {
  auto it = tools_.find(name);
  if (it == tools_.end()) return false;
  tools_.erase(it);
  return true;
}

Result<json::Value> Registry::call(const ToolCall& call) const {
  // The input as text on a tape, as a command brings it; the output back
  // from the text the tool writes.
  const std::string text = json::write(call.input);
  DOVEK_ASSIGN_OR_RETURN(json::Tape tape, json::Tape::read(text));
  json::Writer out;
  DOVEK_TRY(invoke(get(call.name), call.name, tape, 0, out));
  return json::parse(out.text());
}

}  // namespace dovek::tool
