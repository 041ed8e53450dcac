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

// f(repository) on the repository of `kind`.
template <class F>
auto with_repository(const CoreStores& s, RecordKind kind, F&& f) {
  switch (kind) {
    case RecordKind::Skill: return f(*s.skills);
    case RecordKind::Session: return f(*s.sessions);
    case RecordKind::Task: return f(*s.tasks);
    case RecordKind::Run: return f(*s.runs);
    case RecordKind::Profile: return f(*s.profiles);
  }
  throw std::logic_error("record kind out of range");
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
  return with_repository(core.stores, kind,
                         [key](const auto& repository) { return records_json(repository, key); });
}

Result<bool> remove_record(Core& core, RecordKind kind, std::string_view key) {
  return with_repository(core.stores, kind,
                         [key](auto& repository) { return repository.remove(key); });
}

std::string model_json(const Core& core) { return protocol::encode_record(core.agent.model); }

}  // namespace dovek::engine
