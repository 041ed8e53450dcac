// The JSON form of each stored record when it is read back: what a caller
// sees of the skills, sessions, tasks, runs and profiles a core holds, and of
// its selected model.
#pragma once

#include <string>

#include "domain/auth.h"
#include "domain/chat.h"
#include "domain/model.h"
#include "domain/run.h"
#include "domain/skill.h"
#include "json/write.h"

namespace dovek::protocol {

// Each writes one record as a compact JSON object, members in declaration
// order, absent optional fields as null, with the escaping and number rules
// of every response. Cost: linear in the record's size.

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
// As in the run_started response.
void write_record(json::Writer& w, const run::Run& run);
// {"provider":{"id":…},"secret":{"key":…}}
void write_record(json::Writer& w, const auth::Profile& profile);
// As in the model_switched response.
void write_record(json::Writer& w, const model::Model& model);

// The text of one record on its own.
template <class Record>
[[nodiscard]] std::string encode_record(const Record& record) {
  json::Writer w;
  write_record(w, record);
  return w.take();
}

}  // namespace dovek::protocol
