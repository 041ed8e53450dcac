// The JSON form of every record the core writes: what a caller sees of the
// skills, sessions, tasks, runs and profiles a core holds, of its selected
// model, and of the events its flows produce. The one home of these writers:
// read-back and responses alike write records through them.
#pragma once

#include <string>
#include <string_view>

#include "base/error.h"
#include "domain/auth.h"
#include "domain/chat.h"
#include "domain/event.h"
#include "domain/model.h"
#include "domain/run.h"
#include "domain/skill.h"
#include "domain/tool.h"
#include "json/tape.h"
#include "json/write.h"

namespace dovek::protocol {

// Each writes one record as a compact JSON object, members in the order of
// its field table (domain/fields.h), absent optional fields as null, with
// the escaping and number rules of every response. Cost: linear in the
// record's size.

// id, name, source (its label), source_ref, read_only, description, content,
// suggested_tools.
void write_record(json::Writer& w, const skill::Skill& skill);
// id, the eight optional attributes (title, agent_id, model_id, provider_id,
// summary, parent_id, created_at, updated_at), then messages: an array of
// {"role","content"} oldest first, role "user" or "assistant". The history
// is read in place, never copied first.
void write_record(json::Writer& w, const chat::Session& session);
// A page of a session's history: the session's form with only the page's
// messages, then "first" (the index of its first message in the history)
// and "total" (the messages the history holds); the messages shown are
// [first, first + len(messages)) of [0, total).
void write_record(json::Writer& w, const chat::SessionPage& page);
// The ten fields of a task in declaration order.
void write_record(json::Writer& w, const run::Task& task);
// The eleven fields in declaration order, status as its name.
void write_record(json::Writer& w, const run::Run& run);
// {"provider":{"id":…},"secret":{"key":…}}
void write_record(json::Writer& w, const auth::Profile& profile);
// {"provider":{"id":"openai"},"id":"gpt-5.5"}
void write_record(json::Writer& w, const model::Model& model);
// `type` first, then the alternative's fields in order.
void write_record(json::Writer& w, const event::Event& event);

// The events of a tool call for a caller that holds the call's input as a
// token of a tape and its output as JSON text, written as write_record
// writes a ToolCallEvent and a ToolResult: the input is the value at token
// `input` of `tape`. REQUIRES: `output` is one value as json::Writer writes
// it.
void write_tool_call(json::Writer& w, const tool::ToolCall& call, const json::Tape& tape,
                     size_t input);
void write_tool_result(json::Writer& w, std::string_view id, std::string_view output);
// The error event of `error`'s outermost message.
void write_error(json::Writer& w, const Error& error);

// The text of one record on its own.
template <class Record>
[[nodiscard]] std::string encode_record(const Record& record) {
  json::Writer w;
  write_record(w, record);
  return w.take();
}

}  // namespace dovek::protocol
