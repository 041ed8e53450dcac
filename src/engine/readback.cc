#include "engine/readback.h"

#include <stdexcept>

#include "base/utf8.h"
#include "engine/core.h"
#include "json/write.h"
#include "protocol/records.h"

namespace dovek::engine {
namespace {

// Writes `record`, stored under `key`, and checks the text written for it:
// a durable store hands back whatever bytes its database holds, which
// another program may have written, and text that is not UTF-8 could reach
// no caller as a str. The store's other records stay readable by key.
template <class T>
Status write_stored(json::Writer& w, const T& record, std::string_view kind, std::string_view key) {
  const size_t start = w.text().size();
  protocol::write_record(w, record);
  if (utf8::is_valid(w.text().substr(start))) [[likely]]
    return ok_status();
  return Error("stored " + std::string(kind) + " `" + utf8::decode_lossy(key) +
               "` is not valid UTF-8");
}

// A single record is asked for by key alone: the store is never listed (nor
// its listing copied) to answer for one key.
template <class T>
Result<std::string> records_json(const store::Repository<T>& repository, std::string_view kind,
                                 std::optional<std::string_view> key) {
  json::Writer w;
  if (key) {
    DOVEK_ASSIGN_OR_RETURN(std::optional<T> found, repository.get(*key));
    if (found) DOVEK_TRY(write_stored(w, *found, kind, *key));
    else w.null();
    return w.take();
  }
  DOVEK_ASSIGN_OR_RETURN(typename store::Repository<T>::List all, repository.list());
  w.begin_array();
  for (auto it = all.begin(); it != all.end(); ++it)
    DOVEK_TRY(write_stored(w, *it, kind, it.key()));
  w.end_array();
  return w.take();
}

// f(repository, kind's name) on the repository of `kind`.
template <class F>
auto with_repository(const CoreStores& s, RecordKind kind, F&& f) {
  switch (kind) {
    case RecordKind::kSkill: return f(*s.skills, "skill");
    case RecordKind::kSession: return f(*s.sessions, "session");
    case RecordKind::kTask: return f(*s.tasks, "task");
    case RecordKind::kRun: return f(*s.runs, "run");
    case RecordKind::kProfile: return f(*s.profiles, "profile");
  }
  throw std::logic_error("record kind out of range");
}

template <class T>
Result<std::string> keys_json(const store::Repository<T>& repository) {
  DOVEK_ASSIGN_OR_RETURN(std::vector<std::string> keys, repository.keys());
  json::Writer w;
  w.begin_array();
  for (const std::string& key : keys) w.string(key);
  w.end_array();
  if (!utf8::is_valid(w.text())) return Error("a stored key is not valid UTF-8");
  return w.take();
}

}  // namespace

std::optional<RecordKind> parse_record_kind(std::string_view kind) {
  if (kind == "skill") return RecordKind::kSkill;
  if (kind == "session") return RecordKind::kSession;
  if (kind == "task") return RecordKind::kTask;
  if (kind == "run") return RecordKind::kRun;
  if (kind == "profile") return RecordKind::kProfile;
  return std::nullopt;
}

std::string unknown_record_kind_message(std::string_view kind) {
  return "unknown record kind `" + std::string(kind) +
         "`, expected one of `skill`, `session`, `task`, `run`, `profile`";
}

Result<std::string> read_records_json(const Core& core, RecordKind kind,
                                      std::optional<std::string_view> key) {
  return with_repository(core.stores, kind, [key](const auto& repository, const char* name) {
    return records_json(repository, name, key);
  });
}

Result<bool> remove_record(Core& core, RecordKind kind, std::string_view key) {
  return with_repository(core.stores, kind,
                         [key](auto& repository, const char*) { return repository.remove(key); });
}

Result<std::string> read_session_page_json(const Core& core, std::string_view key,
                                           chat::PageRange range) {
  DOVEK_ASSIGN_OR_RETURN(std::optional<chat::SessionPage> page,
                         core.stores.sessions->page(key, range));
  json::Writer w;
  if (page) DOVEK_TRY(write_stored(w, *page, "session", key));
  else w.null();
  return w.take();
}

Result<std::string> read_keys_json(const Core& core, RecordKind kind) {
  return with_repository(core.stores, kind,
                         [](const auto& repository, const char*) { return keys_json(repository); });
}

std::string model_json(const Core& core) { return protocol::encode_record(core.agent.model); }

}  // namespace dovek::engine
