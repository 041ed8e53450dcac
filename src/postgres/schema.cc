#include "postgres/schema.h"

#include <string>

#include "sql/record_fields.h"

namespace dovek::postgres {
namespace {

// Texts are stored as bytea and sent and read in binary: a record may hold
// any byte, NUL included, which a text column refuses, and keys then order
// bytewise, a prefix first, as the in-memory stores order them.
//
// A session's messages are rows numbered from 0, appended one by one, never
// rewritten: `gen` changes (a fresh random number) whenever a session is
// written any other way, so a process that cached a session can tell an
// append (same gen, more rows) from anything else.
//
// A skill's `version` is one above every version so far at each write (the
// writers of skills take one lock, so versions commit in order), so a
// process that cached the skills reads only the rows above the version it
// holds. `counters` `skills_floor` is raised past every version on a
// removal, and a cache below it reads the whole table again.
constexpr const char* kVersion1 = R"sql(
CREATE TABLE meta(version integer NOT NULL);
INSERT INTO meta VALUES (0);
CREATE TABLE skills(
  key bytea PRIMARY KEY, version bigint NOT NULL UNIQUE, id bytea NOT NULL,
  name bytea NOT NULL, source bigint NOT NULL, source_ref bytea, read_only bigint NOT NULL,
  description bytea, content bytea NOT NULL, suggested_tools bytea NOT NULL);
CREATE TABLE sessions(
  key bytea PRIMARY KEY, gen bigint NOT NULL, id bytea NOT NULL,
  title bytea, agent_id bytea, model_id bytea, provider_id bytea, summary bytea,
  parent_id bytea, created_at bytea, updated_at bytea);
CREATE TABLE messages(
  session bytea NOT NULL, seq bigint NOT NULL, role bigint NOT NULL, content bytea NOT NULL,
  PRIMARY KEY(session, seq));
CREATE TABLE tasks(
  key bytea PRIMARY KEY, id bytea NOT NULL, title bytea NOT NULL, input bytea,
  agent_id bytea, session_id bytea, status bytea, schedule bytea, created_at bytea,
  updated_at bytea, error bytea);
CREATE TABLE runs(
  key bytea PRIMARY KEY, id bytea NOT NULL, task_id bytea NOT NULL,
  status bigint NOT NULL, raw_status bytea, session_id bytea, execution_id bytea,
  checkpoint_id bytea, error bytea, started_at bytea, updated_at bytea, ended_at bytea);
CREATE TABLE profiles(
  key bytea PRIMARY KEY, provider_id bytea NOT NULL, secret_key bytea NOT NULL);
CREATE TABLE models(
  key bytea PRIMARY KEY, provider_id bytea NOT NULL, model_id bytea NOT NULL);
CREATE TABLE counters(name text PRIMARY KEY, value bigint NOT NULL);
INSERT INTO counters VALUES ('skills_floor', 0);
)sql";

// Version 1 and the row of the selected model a new database starts with.
const std::string& version1() {
  static const std::string* const kText = new std::string(kVersion1 + sql::default_model_row());
  return *kText;
}

}  // namespace

const char* migration(int from) {
  const std::string* const migrations[kSchemaVersion] = {&version1()};
  return migrations[from]->c_str();
}

std::string quoted_identifier(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace dovek::postgres
