#include "domain/event.h"

namespace dovek::event {
namespace {

struct FieldWriter {
  json::Writer& w;
  void operator()(const Text& e) const {
    w.key(json::kKey<"value">);
    w.string(e.value);
  }
  void operator()(const ToolCallEvent& e) const {
    w.key(json::kKey<"id">);
    w.string(e.id);
    w.key(json::kKey<"name">);
    w.string(e.name);
    w.key(json::kKey<"input">);
    w.value(e.input);
  }
  void operator()(const ToolResult& e) const {
    w.key(json::kKey<"id">);
    w.string(e.id);
    w.key(json::kKey<"value">);
    w.value(e.value);
  }
  void operator()(const ErrorEvent& e) const {
    w.key(json::kKey<"message">);
    w.string(e.message);
  }
  void operator()(const Done&) const {}
};

}  // namespace

std::string_view type_name(const Event& e) {
  static constexpr std::string_view kNames[] = {"text", "tool_call", "tool_result", "error",
                                                "done"};
  return kNames[e.index()];
}

void write_event(json::Writer& w, const Event& e) {
  w.begin_object();
  w.key(json::kKey<"type">);
  w.string(type_name(e));
  std::visit(FieldWriter{w}, e);
  w.end_object();
}

}  // namespace dovek::event
