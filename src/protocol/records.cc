#include "protocol/records.h"

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "domain/fields.h"
#include "json/parse.h"

namespace dovek::protocol {
namespace {

// ---- one value per field kind ----

void put(json::Writer& w, fields::Text, const std::string& v) { w.string(v); }
void put(json::Writer& w, fields::OptionalText, const std::optional<std::string>& v) {
  w.optional_string(v ? &*v : nullptr);
}
void put(json::Writer& w, fields::Flag, bool v) { w.boolean(v); }
template <class Names>
void put(json::Writer& w, fields::Enum<Names>, typename Names::type v) {
  w.string(Names::kNames[static_cast<size_t>(v)]);
}
void put(json::Writer& w, fields::Texts, const std::vector<std::string>& v) {
  w.begin_array();
  for (const std::string& s : v) w.string(s);
  w.end_array();
}
void put(json::Writer& w, fields::History, const chat::MessageList& messages) {
  w.begin_array();
  messages.for_each([&w](const chat::MessageList::Parts& m) {
    w.begin_object();
    w.key(json::kKey<"role">);
    w.string(m.role == chat::Role::kAssistant ? "assistant" : "user");
    w.key(json::kKey<"content">);
    w.string_parts({m.parts[0], m.parts[1], m.parts[2]});
    w.end_object();
  });
  w.end_array();
}
template <class R>
void put(json::Writer& w, fields::Nested, const R& v);

// A record's fields, in the order of its table, into an open object.
template <class R>
void put_fields(json::Writer& w, const R& record) {
  fields::for_each<R>([&]<class F>(F) {
    w.key(F::kKey);
    put(w, typename F::Kind{}, F::of(record));
  });
}

// A record as an object of its fields.
template <class R>
void write_fields(json::Writer& w, const R& record) {
  w.begin_object();
  put_fields(w, record);
  w.end_object();
}

template <class R>
void put(json::Writer& w, fields::Nested, const R& v) {
  write_fields(w, v);
}

// ---- events: `type` first, then the fields ----

// A value as the record holds it: a generic value, a token of a tape, or
// JSON text.
void put_value(json::Writer& w, const json::Value& v) { w.value(v); }
struct TapeValue {
  const json::Tape& tape;
  size_t index;
};
void put_value(json::Writer& w, TapeValue v) { json::write_value(w, v.tape, v.index); }
struct RawValue {
  std::string_view text;
};
void put_value(json::Writer& w, RawValue v) { w.raw_value(v.text); }

void begin_event(json::Writer& w, std::string_view type) {
  w.begin_object();
  w.key(json::kKey<"type">);
  w.string(type);
}

template <class Input>
void tool_call_event(json::Writer& w, std::string_view id, std::string_view name,
                     const Input& input) {
  begin_event(w, "tool_call");
  w.key(json::kKey<"id">);
  w.string(id);
  w.key(json::kKey<"name">);
  w.string(name);
  w.key(json::kKey<"input">);
  put_value(w, input);
  w.end_object();
}

template <class Value>
void tool_result_event(json::Writer& w, std::string_view id, const Value& value) {
  begin_event(w, "tool_result");
  w.key(json::kKey<"id">);
  w.string(id);
  w.key(json::kKey<"value">);
  put_value(w, value);
  w.end_object();
}

void error_event(json::Writer& w, std::string_view message) {
  begin_event(w, "error");
  w.key(json::kKey<"message">);
  w.string(message);
  w.end_object();
}

struct EventWriter {
  json::Writer& w;
  void operator()(const event::Text& e) const {
    begin_event(w, "text");
    w.key(json::kKey<"value">);
    w.string(e.value);
    w.end_object();
  }
  void operator()(const event::ToolCallEvent& e) const {
    tool_call_event(w, e.id, e.name, e.input);
  }
  void operator()(const event::ToolResult& e) const { tool_result_event(w, e.id, e.value); }
  void operator()(const event::ErrorEvent& e) const { error_event(w, e.message); }
  void operator()(const event::Done&) const {
    begin_event(w, "done");
    w.end_object();
  }
};

}  // namespace

void write_record(json::Writer& w, const skill::Skill& skill) { write_fields(w, skill.fields()); }
void write_record(json::Writer& w, const chat::Session& session) { write_fields(w, session); }
void write_record(json::Writer& w, const chat::SessionPage& page) {
  w.begin_object();
  put_fields(w, page.session);
  w.key(json::kKey<"first">);
  w.u64(page.first);
  w.key(json::kKey<"total">);
  w.u64(page.total);
  w.end_object();
}
void write_record(json::Writer& w, const run::Task& task) { write_fields(w, task); }
void write_record(json::Writer& w, const run::Run& run) { write_fields(w, run); }
void write_record(json::Writer& w, const auth::Profile& profile) { write_fields(w, profile); }
void write_record(json::Writer& w, const model::Model& model) { write_fields(w, model); }
void write_record(json::Writer& w, const event::Event& event) { std::visit(EventWriter{w}, event); }

void write_tool_call(json::Writer& w, const tool::ToolCall& call, const json::Tape& tape,
                     size_t input) {
  tool_call_event(w, call.id, call.name, TapeValue{tape, input});
}

void write_tool_result(json::Writer& w, std::string_view id, std::string_view output) {
  tool_result_event(w, id, RawValue{output});
}

void write_error(json::Writer& w, const Error& error) { error_event(w, error.message()); }

}  // namespace dovek::protocol
