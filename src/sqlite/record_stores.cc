// Tasks, runs, profiles and the selected model: one row per record, read and
// written whole. The engine only ever gets a run by key and puts records; no
// cache, since each command touches one row.
#include <utility>
#include <vector>

#include "sqlite/stores.h"

namespace dovek::sqlite {
namespace {

// A table of records of T, one row each. Codec gives the SQL (the record's
// columns after `key`) and moves a record in and out of a statement.
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
    return std::optional<T>(Codec::read(s, 0));
  }

  Result<List> list() const override {
    DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(Codec::kList));
    std::vector<std::pair<std::string, T>> pairs;
    for (;;) {
      DOVEK_ASSIGN_OR_RETURN(bool row, s.step());
      if (!row) break;
      pairs.emplace_back(std::string(s.text(0)), Codec::read(s, 1));
    }
    return List::from_pairs(std::move(pairs));
  }

  Status put(std::string_view key, T record) override {
    DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(Codec::kPut));
    s.bind(1, key);
    Codec::bind(s, record);
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

  static run::Task read(const Stmt& s, int c) {
    run::Task t;
    t.id = s.text(c);
    t.title = s.text(c + 1);
    t.input = s.optional_text(c + 2);
    t.agent_id = s.optional_text(c + 3);
    t.session_id = s.optional_text(c + 4);
    t.status = s.optional_text(c + 5);
    t.schedule = s.optional_text(c + 6);
    t.created_at = s.optional_text(c + 7);
    t.updated_at = s.optional_text(c + 8);
    t.error = s.optional_text(c + 9);
    return t;
  }
  static void bind(Stmt& s, const run::Task& t) {
    s.bind(2, t.id).bind(3, t.title).bind(4, t.input).bind(5, t.agent_id).bind(6, t.session_id);
    s.bind(7, t.status).bind(8, t.schedule).bind(9, t.created_at).bind(10, t.updated_at);
    s.bind(11, t.error);
  }
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

  static run::Run read(const Stmt& s, int c) {
    run::Run r;
    r.id = s.text(c);
    r.task_id = s.text(c + 1);
    const int64_t status = s.integer(c + 2);
    r.status = status >= 0 && status <= static_cast<int64_t>(run::RunStatus::Canceled)
                   ? static_cast<run::RunStatus>(status)
                   : run::RunStatus::Failed;
    r.raw_status = s.optional_text(c + 3);
    r.session_id = s.optional_text(c + 4);
    r.execution_id = s.optional_text(c + 5);
    r.checkpoint_id = s.optional_text(c + 6);
    r.error = s.optional_text(c + 7);
    r.started_at = s.optional_text(c + 8);
    r.updated_at = s.optional_text(c + 9);
    r.ended_at = s.optional_text(c + 10);
    return r;
  }
  static void bind(Stmt& s, const run::Run& r) {
    s.bind(2, r.id).bind(3, r.task_id).bind(4, static_cast<int64_t>(r.status));
    s.bind(5, r.raw_status).bind(6, r.session_id).bind(7, r.execution_id);
    s.bind(8, r.checkpoint_id).bind(9, r.error).bind(10, r.started_at).bind(11, r.updated_at);
    s.bind(12, r.ended_at);
  }
};

struct ProfileCodec {
  static constexpr const char* kGet = "SELECT provider_id, secret_key FROM profiles WHERE key = ?1";
  static constexpr const char* kList =
      "SELECT key, provider_id, secret_key FROM profiles ORDER BY key";
  static constexpr const char* kPut =
      "INSERT OR REPLACE INTO profiles (key, provider_id, secret_key) VALUES (?1, ?2, ?3)";
  static constexpr const char* kRemove = "DELETE FROM profiles WHERE key = ?1";
  static constexpr const char* kClear = "DELETE FROM profiles";

  static auth::Profile read(const Stmt& s, int c) {
    return auth::Profile{auth::Provider{std::string(s.text(c))},
                         auth::SecretRef{std::string(s.text(c + 1))}};
  }
  static void bind(Stmt& s, const auth::Profile& p) {
    s.bind(2, p.provider.id).bind(3, p.secret.key);
  }
};

struct ModelCodec {
  static constexpr const char* kGet = "SELECT provider_id, model_id FROM models WHERE key = ?1";
  static constexpr const char* kList = "SELECT key, provider_id, model_id FROM models ORDER BY key";
  static constexpr const char* kPut =
      "INSERT OR REPLACE INTO models (key, provider_id, model_id) VALUES (?1, ?2, ?3)";
  static constexpr const char* kRemove = "DELETE FROM models WHERE key = ?1";
  static constexpr const char* kClear = "DELETE FROM models";

  static model::Model read(const Stmt& s, int c) {
    return model::Model::create(s.text(c), s.text(c + 1));
  }
  static void bind(Stmt& s, const model::Model& m) { s.bind(2, m.provider.id).bind(3, m.id); }
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
