// Tasks, runs, profiles and the selected model: one row per record, read and
// written whole. The engine only ever gets a run by key and puts records; no
// cache, since each command touches one row.
#include <utility>
#include <vector>

#include "domain/record_fields.h"
#include "sqlite/stores.h"

namespace dovek::sqlite {
namespace {

// A table of records of T, one row each. Codec gives the SQL (the record's
// columns after `key`, in record_fields' order) and reads a record.
template <class T, class Codec>
class TableStore final : public store::Repository<T> {
 public:
  using List = typename store::Repository<T>::List;

  explicit TableStore(std::shared_ptr<Database> db) : db_(std::move(db)) {}

  Result<std::optional<T>> get(std::string_view key) const override {
    DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(Codec::kGet));
    s.bind(1, key);
    DOVEK_ASSIGN_OR_RETURN(bool row, s.step());
    if (!row) return std::optional<T>();
    Columns c(s, 0);
    return std::optional<T>(Codec::read(c));
  }

  Result<List> list() const override {
    DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(Codec::kList));
    std::vector<std::pair<std::string, T>> pairs;
    for (;;) {
      DOVEK_ASSIGN_OR_RETURN(bool row, s.step());
      if (!row) break;
      Columns c(s, 1);
      pairs.emplace_back(std::string(s.text(0)), Codec::read(c));
    }
    return List::from_pairs(std::move(pairs));
  }

  Status put(std::string_view key, T record) override {
    DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(Codec::kPut));
    s.bind(1, key);
    Binder columns(s, 2);
    record_fields::write(columns, record);
    return s.run();
  }

  Result<bool> remove(std::string_view key) override {
    DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(Codec::kRemove));
    s.bind(1, key);
    DOVEK_TRY(s.run());
    return db_->changes() > 0;
  }

  Status replace_all(std::vector<std::pair<std::string, T>> pairs) override {
    {
      DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(Codec::kClear));
      DOVEK_TRY(s.run());
    }
    // INSERT OR REPLACE: of repeated keys the last pair wins.
    for (auto& [key, record] : pairs) DOVEK_TRY(put(key, std::move(record)));
    return ok_status();
  }

 private:
  std::shared_ptr<Database> db_;
};

struct TaskCodec {
  static constexpr const char* kGet =
      "SELECT id, title, input, agent_id, session_id, status, schedule, created_at, updated_at, "
      "error FROM tasks WHERE key = ?1";
  static constexpr const char* kList =
      "SELECT key, id, title, input, agent_id, session_id, status, schedule, created_at, "
      "updated_at, error FROM tasks ORDER BY key";
  static constexpr const char* kPut =
      "INSERT OR REPLACE INTO tasks (key, id, title, input, agent_id, session_id, status, "
      "schedule, created_at, updated_at, error) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, "
      "?11)";
  static constexpr const char* kRemove = "DELETE FROM tasks WHERE key = ?1";
  static constexpr const char* kClear = "DELETE FROM tasks";

  static run::Task read(Columns& c) { return record_fields::read_task(c); }
};

struct RunCodec {
  static constexpr const char* kGet =
      "SELECT id, task_id, status, raw_status, session_id, execution_id, checkpoint_id, error, "
      "started_at, updated_at, ended_at FROM runs WHERE key = ?1";
  static constexpr const char* kList =
      "SELECT key, id, task_id, status, raw_status, session_id, execution_id, checkpoint_id, "
      "error, started_at, updated_at, ended_at FROM runs ORDER BY key";
  static constexpr const char* kPut =
      "INSERT OR REPLACE INTO runs (key, id, task_id, status, raw_status, session_id, "
      "execution_id, checkpoint_id, error, started_at, updated_at, ended_at) VALUES (?1, ?2, ?3, "
      "?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)";
  static constexpr const char* kRemove = "DELETE FROM runs WHERE key = ?1";
  static constexpr const char* kClear = "DELETE FROM runs";

  static run::Run read(Columns& c) { return record_fields::read_run(c); }
};

struct ProfileCodec {
  static constexpr const char* kGet = "SELECT provider_id, secret_key FROM profiles WHERE key = ?1";
  static constexpr const char* kList =
      "SELECT key, provider_id, secret_key FROM profiles ORDER BY key";
  static constexpr const char* kPut =
      "INSERT OR REPLACE INTO profiles (key, provider_id, secret_key) VALUES (?1, ?2, ?3)";
  static constexpr const char* kRemove = "DELETE FROM profiles WHERE key = ?1";
  static constexpr const char* kClear = "DELETE FROM profiles";

  static auth::Profile read(Columns& c) { return record_fields::read_profile(c); }
};

struct ModelCodec {
  static constexpr const char* kGet = "SELECT provider_id, model_id FROM models WHERE key = ?1";
  static constexpr const char* kList = "SELECT key, provider_id, model_id FROM models ORDER BY key";
  static constexpr const char* kPut =
      "INSERT OR REPLACE INTO models (key, provider_id, model_id) VALUES (?1, ?2, ?3)";
  static constexpr const char* kRemove = "DELETE FROM models WHERE key = ?1";
  static constexpr const char* kClear = "DELETE FROM models";

  static model::Model read(Columns& c) { return record_fields::read_model(c); }
};

}  // namespace

Handle<run::Task> task_store(std::shared_ptr<Database> db) {
  return std::make_shared<TableStore<run::Task, TaskCodec>>(std::move(db));
}
Handle<run::Run> run_store(std::shared_ptr<Database> db) {
  return std::make_shared<TableStore<run::Run, RunCodec>>(std::move(db));
}
Handle<auth::Profile> profile_store(std::shared_ptr<Database> db) {
  return std::make_shared<TableStore<auth::Profile, ProfileCodec>>(std::move(db));
}
Handle<model::Model> model_store(std::shared_ptr<Database> db) {
  return std::make_shared<TableStore<model::Model, ModelCodec>>(std::move(db));
}

Result<Stores> open_stores(Options options) {
  DOVEK_ASSIGN_OR_RETURN(std::shared_ptr<Database> db, Database::open(std::move(options)));
  Stores stores;
  stores.skills = skill_store(db);
  stores.sessions = session_store(db);
  stores.tasks = task_store(db);
  stores.runs = run_store(db);
  stores.profiles = profile_store(db);
  stores.model = model_store(db);
  stores.db = std::move(db);
  return stores;
}

}  // namespace dovek::sqlite
