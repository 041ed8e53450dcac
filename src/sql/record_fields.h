// The fields of each stored record kind, in one fixed column order, for
// stores that keep a record as a row: write() hands them to a sink and the
// read_*() functions take them back from a source, so every database store
// maps records the same way whatever its driver.
//
// A Sink has text(std::string_view), text(const std::optional<std::string>&)
// and integer(int64_t), each taking the next column and returning the sink;
// a Source has text() (a string_view), optional_text() and integer(), each
// reading the next column. Enumerations are stored as their numbers, a
// skill's suggested tools as a JSON array of strings (tools_json).
//
// Beside each write/read pair stand the names of those columns, in the same
// order, and the table that holds the records: the stores build their
// statements from them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "domain/auth.h"
#include "domain/chat.h"
#include "domain/model.h"
#include "domain/run.h"
#include "domain/skill.h"
#include "json/parse.h"
#include "json/write.h"

namespace dovek::sql {

// A table of records, one row each under a `key` column, and the record's
// columns after it in write()/read_*() order.
struct Table {
  std::string_view name;
  std::span<const std::string_view> columns;
};

inline constexpr std::string_view kTaskColumns[] = {"id",       "title",      "input",
                                                    "agent_id", "session_id", "status",
                                                    "schedule", "created_at", "updated_at",
                                                    "error"};
inline constexpr Table kTasks{"tasks", kTaskColumns};

template <class Sink>
void write(Sink& s, const run::Task& t) {
  s.text(t.id).text(t.title).text(t.input).text(t.agent_id).text(t.session_id);
  s.text(t.status).text(t.schedule).text(t.created_at).text(t.updated_at).text(t.error);
}

template <class Source>
run::Task read_task(Source& s) {
  run::Task t;
  t.id = s.text();
  t.title = s.text();
  t.input = s.optional_text();
  t.agent_id = s.optional_text();
  t.session_id = s.optional_text();
  t.status = s.optional_text();
  t.schedule = s.optional_text();
  t.created_at = s.optional_text();
  t.updated_at = s.optional_text();
  t.error = s.optional_text();
  return t;
}

inline constexpr std::string_view kRunColumns[] = {
    "id",         "task_id",      "status",        "raw_status",
    "session_id", "execution_id", "checkpoint_id", "error",
    "started_at", "updated_at",   "ended_at"};
inline constexpr Table kRuns{"runs", kRunColumns};

template <class Sink>
void write(Sink& s, const run::Run& r) {
  s.text(r.id).text(r.task_id).integer(static_cast<int64_t>(r.status)).text(r.raw_status);
  s.text(r.session_id).text(r.execution_id).text(r.checkpoint_id).text(r.error);
  s.text(r.started_at).text(r.updated_at).text(r.ended_at);
}

template <class Source>
run::Run read_run(Source& s) {
  run::Run r;
  r.id = s.text();
  r.task_id = s.text();
  const int64_t status = s.integer();
  r.status = status >= 0 && status <= static_cast<int64_t>(run::RunStatus::kCanceled)
                 ? static_cast<run::RunStatus>(status)
                 : run::RunStatus::kFailed;
  r.raw_status = s.optional_text();
  r.session_id = s.optional_text();
  r.execution_id = s.optional_text();
  r.checkpoint_id = s.optional_text();
  r.error = s.optional_text();
  r.started_at = s.optional_text();
  r.updated_at = s.optional_text();
  r.ended_at = s.optional_text();
  return r;
}

inline constexpr std::string_view kProfileColumns[] = {"provider_id", "secret_key"};
inline constexpr Table kProfiles{"profiles", kProfileColumns};

template <class Sink>
void write(Sink& s, const auth::Profile& p) {
  s.text(p.provider.id).text(p.secret.key);
}

template <class Source>
auth::Profile read_profile(Source& s) {
  std::string provider(s.text());
  std::string secret(s.text());
  return auth::Profile{auth::Provider{std::move(provider)}, auth::SecretRef{std::move(secret)}};
}

inline constexpr std::string_view kModelColumns[] = {"provider_id", "model_id"};
inline constexpr Table kModels{"models", kModelColumns};

template <class Sink>
void write(Sink& s, const model::Model& m) {
  s.text(m.provider.id).text(m.id);
}

template <class Source>
model::Model read_model(Source& s) {
  const std::string_view provider = s.text();
  return model::Model::create(provider, s.text());
}

inline std::string tools_json(const std::vector<std::string>& tools) {
  json::Writer w;
  w.begin_array();
  for (const std::string& t : tools) w.string(t);
  w.end_array();
  return w.take();
}

// Each skill row also has a version, which its stores keep.
inline constexpr std::string_view kSkillColumns[] = {"id",         "name",           "source",
                                                     "source_ref", "read_only",      "description",
                                                     "content",    "suggested_tools"};
inline constexpr Table kSkills{"skills", kSkillColumns};

// `tools` is tools_json(skill.suggested_tools()), made by the caller, who
// keeps it alive as long as the sink needs it.
template <class Sink>
void write(Sink& s, const skill::Skill& k, std::string_view tools) {
  s.text(k.id()).text(k.name()).integer(static_cast<int64_t>(k.source())).text(k.source_ref());
  s.integer(int64_t{k.read_only()}).text(k.description()).text(k.content()).text(tools);
}

template <class Source>
skill::Skill read_skill(Source& s) {
  skill::SkillFields f;
  f.id = s.text();
  f.name = s.text();
  const int64_t source = s.integer();
  f.source = source == 0   ? skill::Source::kSystem
             : source == 2 ? skill::Source::kExternal
                           : skill::Source::kUser;
  f.source_ref = s.optional_text();
  f.read_only = s.integer() != 0;
  f.description = s.optional_text();
  f.content = s.text();
  // Written as an array of strings; anything else reads as no tools.
  Result<json::Value> tools = json::parse(s.text());
  if (tools.ok() && tools->is_array()) {
    for (const json::Value& t : tools->as_array()) {
      if (t.is_string()) f.suggested_tools.push_back(t.as_string());
    }
  }
  return skill::Skill(std::move(f));
}

// A session's own fields, without its messages (a row each, see below). The
// sessions table also has `gen` after `key`, kept by its stores.
inline constexpr std::string_view kSessionColumns[] = {"id",        "title",       "agent_id",
                                                       "model_id",  "provider_id", "summary",
                                                       "parent_id", "created_at",  "updated_at"};
inline constexpr Table kSessions{"sessions", kSessionColumns};

template <class Sink>
void write_attributes(Sink& s, const chat::Session& c) {
  s.text(c.id).text(c.title).text(c.agent_id).text(c.model_id).text(c.provider_id);
  s.text(c.summary).text(c.parent_id).text(c.created_at).text(c.updated_at);
}

template <class Source>
void read_attributes(Source& s, chat::Session& c) {
  c.id = s.text();
  c.title = s.optional_text();
  c.agent_id = s.optional_text();
  c.model_id = s.optional_text();
  c.provider_id = s.optional_text();
  c.summary = s.optional_text();
  c.parent_id = s.optional_text();
  c.created_at = s.optional_text();
  c.updated_at = s.optional_text();
}

inline bool same_attributes(const chat::Session& a, const chat::Session& b) {
  return a.id == b.id && a.title == b.title && a.agent_id == b.agent_id &&
         a.model_id == b.model_id && a.provider_id == b.provider_id && a.summary == b.summary &&
         a.parent_id == b.parent_id && a.created_at == b.created_at && a.updated_at == b.updated_at;
}

// A message's role as stored.
inline int64_t role_number(chat::Role role) { return role == chat::Role::kAssistant ? 1 : 0; }
inline chat::Role role_of(int64_t number) {
  return number == 1 ? chat::Role::kAssistant : chat::Role::kUser;
}

}  // namespace dovek::sql
