#include "protocol/records.h"

#include <optional>
#include <string>
#include <string_view>

namespace dovek::protocol {
namespace {

void optional_member(json::Writer& w, const json::Key& key, const std::optional<std::string>& v) {
  w.key(key);
  w.optional_string(v ? &*v : nullptr);
}

std::string_view role_name(chat::Role role) {
  return role == chat::Role::Assistant ? "assistant" : "user";
}

}  // namespace

void write_record(json::Writer& w, const skill::Skill& skill) {
  const skill::SkillFields& f = skill.fields();
  w.begin_object();
  w.key(json::kKey<"id">);
  w.string(f.id);
  w.key(json::kKey<"name">);
  w.string(f.name);
  w.key(json::kKey<"source">);
  w.string(skill::source_label(f.source));
  optional_member(w, json::kKey<"source_ref">, f.source_ref);
  w.key(json::kKey<"read_only">);
  w.boolean(f.read_only);
  optional_member(w, json::kKey<"description">, f.description);
  w.key(json::kKey<"content">);
  w.string(f.content);
  w.key(json::kKey<"suggested_tools">);
  w.begin_array();
  for (const std::string& tool : f.suggested_tools) w.string(tool);
  w.end_array();
  w.end_object();
}

namespace {

// A session's object up to and including its messages, left open.
void open_session(json::Writer& w, const chat::Session& session) {
  w.begin_object();
  w.key(json::kKey<"id">);
  w.string(session.id);
  optional_member(w, json::kKey<"title">, session.title);
  optional_member(w, json::kKey<"agent_id">, session.agent_id);
  optional_member(w, json::kKey<"model_id">, session.model_id);
  optional_member(w, json::kKey<"provider_id">, session.provider_id);
  optional_member(w, json::kKey<"summary">, session.summary);
  optional_member(w, json::kKey<"parent_id">, session.parent_id);
  optional_member(w, json::kKey<"created_at">, session.created_at);
  optional_member(w, json::kKey<"updated_at">, session.updated_at);
  w.key(json::kKey<"messages">);
  w.begin_array();
  session.messages.for_each([&w](const chat::MessageList::Parts& m) {
    w.begin_object();
    w.key(json::kKey<"role">);
    w.string(role_name(m.role));
    w.key(json::kKey<"content">);
    w.string_parts({m.parts[0], m.parts[1], m.parts[2]});
    w.end_object();
  });
  w.end_array();
}

}  // namespace

void write_record(json::Writer& w, const chat::Session& session) {
  open_session(w, session);
  w.end_object();
}

void write_record(json::Writer& w, const chat::SessionPage& page) {
  open_session(w, page.session);
  w.key(json::kKey<"first">);
  w.u64(page.first);
  w.key(json::kKey<"total">);
  w.u64(page.total);
  w.end_object();
}

void write_record(json::Writer& w, const run::Task& task) {
  w.begin_object();
  w.key(json::kKey<"id">);
  w.string(task.id);
  w.key(json::kKey<"title">);
  w.string(task.title);
  optional_member(w, json::kKey<"input">, task.input);
  optional_member(w, json::kKey<"agent_id">, task.agent_id);
  optional_member(w, json::kKey<"session_id">, task.session_id);
  optional_member(w, json::kKey<"status">, task.status);
  optional_member(w, json::kKey<"schedule">, task.schedule);
  optional_member(w, json::kKey<"created_at">, task.created_at);
  optional_member(w, json::kKey<"updated_at">, task.updated_at);
  optional_member(w, json::kKey<"error">, task.error);
  w.end_object();
}

void write_record(json::Writer& w, const run::Run& run) { run::write_run(w, run); }

void write_record(json::Writer& w, const auth::Profile& profile) {
  w.begin_object();
  w.key(json::kKey<"provider">);
  w.begin_object();
  w.key(json::kKey<"id">);
  w.string(profile.provider.id);
  w.end_object();
  w.key(json::kKey<"secret">);
  w.begin_object();
  w.key(json::kKey<"key">);
  w.string(profile.secret.key);
  w.end_object();
  w.end_object();
}

void write_record(json::Writer& w, const model::Model& model) { model::write_model(w, model); }

}  // namespace dovek::protocol
