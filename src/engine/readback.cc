#include "engine/readback.h"

#include <stdexcept>

#include "engine/core.h"
#include "json/write.h"
#include "protocol/records.h"

namespace dovek::engine {
namespace {

// A single record is asked for by key alone: the store is never listed (nor
// its listing copied) to answer for one key.
template <class T>
Result<std::string> records_json(const store::Repository<T>& repository,
                                 std::optional<std::string_view> key) {
  json::Writer w;
  if (key) {
    DOVEK_ASSIGN_OR_RETURN(std::optional<T> found, repository.get(*key));
    if (found) protocol::write_record(w, *found);
    else w.null();
    return w.take();
  }
  DOVEK_ASSIGN_OR_RETURN(typename store::Repository<T>::List all, repository.list());
  w.begin_array();
  for (const T& record : all) protocol::write_record(w, record);
  w.end_array();
  return w.take();
}

template <class T>
Result<std::string> keys_json(const store::Repository<T>& repository) {
  DOVEK_ASSIGN_OR_RETURN(std::vector<std::string> keys, repository.keys());
  json::Writer w;
  w.begin_array();
  for (const std::string& key : keys) w.string(key);
  w.end_array();
  return w.take();
}

}  // namespace

std::optional<RecordKind> parse_record_kind(std::string_view kind) {
  if (kind == "skill") return RecordKind::Skill;
  if (kind == "session") return RecordKind::Session;
  if (kind == "task") return RecordKind::Task;
  if (kind == "run") return RecordKind::Run;
  if (kind == "profile") return RecordKind::Profile;
  return std::nullopt;
}

std::string unknown_record_kind_message(std::string_view kind) {
  return "unknown record kind `" + std::string(kind) +
         "`, expected one of `skill`, `session`, `task`, `run`, `profile`";
}

Result<std::string> read_records_json(const Core& core, RecordKind kind,
                                      std::optional<std::string_view> key) {
  const CoreStores& s = core.stores;
  switch (kind) {
    case RecordKind::Skill: return records_json(*s.skills, key);
    case RecordKind::Session: return records_json(*s.sessions, key);
    case RecordKind::Task: return records_json(*s.tasks, key);
    case RecordKind::Run: return records_json(*s.runs, key);
    case RecordKind::Profile: return records_json(*s.profiles, key);
  }
  throw std::logic_error("record kind out of range");
}

Result<std::string> read_session_page_json(const Core& core, std::string_view key,
                                           chat::PageRange range) {
  DOVEK_ASSIGN_OR_RETURN(std::optional<chat::SessionPage> page,
                         core.stores.sessions->page(key, range));
  json::Writer w;
  if (page) protocol::write_record(w, *page);
  else w.null();
  return w.take();
}

Result<std::string> read_keys_json(const Core& core, RecordKind kind) {
  const CoreStores& s = core.stores;
  switch (kind) {
    case RecordKind::Skill: return keys_json(*s.skills);
    case RecordKind::Session: return keys_json(*s.sessions);
    case RecordKind::Task: return keys_json(*s.tasks);
    case RecordKind::Run: return keys_json(*s.runs);
    case RecordKind::Profile: return keys_json(*s.profiles);
  }
  throw std::logic_error("record kind out of range");
}

std::string model_json(const Core& core) { return protocol::encode_record(core.agent.model); }

}  // namespace dovek::engine
