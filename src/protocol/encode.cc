#include "protocol/encode.h"

#include <string_view>
#include <variant>
#include <vector>

#include "json/write.h"
#include "protocol/records.h"

namespace dovek::protocol {
namespace {

void write_events(json::Writer& w, const std::vector<event::Event>& events) {
  w.key(json::kKey<"events">);
  w.begin_array();
  for (const event::Event& e : events) write_record(w, e);
  w.end_array();
}

struct ResponseWriter {
  json::Writer& w;
  void operator()(const Saved&) { tag("saved"); }
  void operator()(const ModelSwitched& r) {
    tag("model_switched");
    w.key(json::kKey<"model">);
    write_record(w, r.model);
  }
  void operator()(const ChatTurnResponse& r) {
    tag("chat_turn");
    write_events(w, r.events);
  }
  void operator()(const RunStarted& r) {
    tag("run_started");
    w.key(json::kKey<"run">);
    write_record(w, r.run);
  }
  void operator()(const RunTaskResponse& r) {
    tag("run_task");
    write_events(w, r.events);
  }
  void operator()(const ToolEvents& r) {
    tag("tool_events");
    write_events(w, r.events);
  }
  void tag(std::string_view name) {
    w.key(json::kKey<"type">);
    w.string(name);
  }
};

// A starting capacity near the response's size, so that a long prompt is
// written without regrowing the buffer several times: the texts' bytes plus
// room for the fixed parts. Escapes and generic values may still grow it.
size_t estimated_size(const CoreResponse& response) {
  constexpr size_t kFixed = 256;  // a run, a model or a short event
  const std::vector<event::Event>* events = nullptr;
  if (const auto* r = std::get_if<ChatTurnResponse>(&response)) events = &r->events;
  if (const auto* r = std::get_if<RunTaskResponse>(&response)) events = &r->events;
  if (events == nullptr) return kFixed;
  size_t n = kFixed;
  for (const event::Event& e : *events) {
    n += 48;
    if (const auto* text = std::get_if<event::Text>(&e))
      n += text->value.size() + text->value.size() / 16;
  }
  return n;
}

void write_response(json::Writer& w, const CoreResponse& response) {
  w.begin_object();
  std::visit(ResponseWriter{w}, response);
  w.end_object();
}

}  // namespace

std::string encode_response(const CoreResponse& response) {
  json::Writer w(estimated_size(response));
  write_response(w, response);
  return w.take();
}

std::string_view encode_response_into(const CoreResponse& response, std::string& storage) {
  json::Writer w(std::move(storage), estimated_size(response));
  write_response(w, response);
  const size_t size = w.text().size();
  storage = w.release();
  return {storage.data(), size};
}

std::string_view encode_tool_events_into(const tool::ToolCall& call, const json::Tape& tape,
                                         size_t input, const Status& status,
                                         std::string_view output, std::string& storage) {
  constexpr size_t kFixed = 256;
  json::Writer w(std::move(storage), kFixed + tape.text().size() + output.size());
  w.begin_object();
  w.key(json::kKey<"type">);
  w.string("tool_events");
  w.key(json::kKey<"events">);
  w.begin_array();
  write_tool_call(w, call, tape, input);
  if (status.ok()) {
    write_tool_result(w, call.id, output);
  } else {
    write_error(w, status.error());
  }
  w.end_array();
  w.end_object();
  const size_t size = w.text().size();
  storage = w.release();
  return {storage.data(), size};
}

}  // namespace dovek::protocol
