#include "sqlite/schema.h"

#include <string>

#include "sql/record_fields.h"

namespace dovek::sqlite {
namespace {

// Every record table has a `key` column: the key the repository was given,
// which the engine makes the record's id (a profile's provider id). Keys and
// texts compare as BINARY (bytewise, a prefix first), as the stores order them.
//
// A session's messages are rows numbered from 0, appended one by one, never
// rewritten: `gen` changes (from the `sessions` counter) whenever a session
// is written any other way, so a process that cached a session can tell an
// append (same gen, more rows) from anything else.
//
// A skill row's rowid is its version: each write gives the row one above
// every version so far (INSERT OR REPLACE makes it a new row), so a process
// that cached the skills reads only the rows above the version it holds.
// `counters` `skills_floor` is raised past every version on a removal, and a
// cache below it reads the whole table again (removed rows leave no trace);
// `sessions` numbers the `gen` of sessions.
constexpr const char* kVersion1 = R"sql(
CREATE TABLE skills(
  key TEXT PRIMARY KEY NOT NULL, id TEXT NOT NULL, name TEXT NOT NULL,
  source INTEGER NOT NULL, source_ref TEXT, read_only INTEGER NOT NULL,
  description TEXT, content TEXT NOT NULL, suggested_tools TEXT NOT NULL);
CREATE TABLE sessions(
  key TEXT PRIMARY KEY NOT NULL, gen INTEGER NOT NULL, id TEXT NOT NULL,
  title TEXT, agent_id TEXT, model_id TEXT, provider_id TEXT, summary TEXT,
  parent_id TEXT, created_at TEXT, updated_at TEXT);
CREATE TABLE messages(
  session TEXT NOT NULL, seq INTEGER NOT NULL, role INTEGER NOT NULL, content TEXT NOT NULL,
  PRIMARY KEY(session, seq));
CREATE TABLE tasks(
  key TEXT PRIMARY KEY NOT NULL, id TEXT NOT NULL, title TEXT NOT NULL, input TEXT,
  agent_id TEXT, session_id TEXT, status TEXT, schedule TEXT, created_at TEXT,
  updated_at TEXT, error TEXT);
CREATE TABLE runs(
  key TEXT PRIMARY KEY NOT NULL, id TEXT NOT NULL, task_id TEXT NOT NULL,
  status INTEGER NOT NULL, raw_status TEXT, session_id TEXT, execution_id TEXT,
  checkpoint_id TEXT, error TEXT, started_at TEXT, updated_at TEXT, ended_at TEXT);
CREATE TABLE profiles(
  key TEXT PRIMARY KEY NOT NULL, provider_id TEXT NOT NULL, secret_key TEXT NOT NULL);
CREATE TABLE models(
  key TEXT PRIMARY KEY NOT NULL, provider_id TEXT NOT NULL, model_id TEXT NOT NULL);
CREATE TABLE counters(name TEXT PRIMARY KEY NOT NULL, value INTEGER NOT NULL);
INSERT INTO counters VALUES ('skills_floor', 0), ('sessions', 0);
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

}  // namespace dovek::sqlite
