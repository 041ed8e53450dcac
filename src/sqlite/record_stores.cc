// Tasks, runs, profiles and the selected model: one row per record, read and
// written whole. The engine only ever gets a run by key and puts records; no
// cache, since each command touches one row.
#include <utility>
#include <vector>

#include "domain/record_fields.h"
#include "sqlite/statements.h"
#include "sqlite/stores.h"

namespace dovek::sqlite {
namespace {

// A table of records of T, one row each, read with `read`.
template <class T, const record_fields::Table& kTable, T (*read)(Columns&)>
class TableStore final : public store::Repository<T> {
 public:
  using List = typename store::Repository<T>::List;

  explicit TableStore(std::shared_ptr<Database> db) : db_(std::move(db)) {}

  Result<std::optional<T>> get(std::string_view key) const override {
    DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(statements().get.c_str()));
    s.bind(1, key);
    DOVEK_ASSIGN_OR_RETURN(bool row, s.step());
    if (!row) return std::optional<T>();
    Columns c(s, 0);
    return std::optional<T>(read(c));
  }

  Result<List> list() const override {
    DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(statements().list.c_str()));
    std::vector<std::pair<std::string, T>> pairs;
    for (;;) {
      DOVEK_ASSIGN_OR_RETURN(bool row, s.step());
      if (!row) break;
      Columns c(s, 1);
      pairs.emplace_back(std::string(s.text(0)), read(c));
    }
    return List::from_pairs(std::move(pairs));
  }

  Status put(std::string_view key, T record) override {
    DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(statements().put.c_str()));
    s.bind(1, key);
    Binder columns(s, 2);
    record_fields::write(columns, record);
    return s.run();
  }

  Result<bool> remove(std::string_view key) override {
    DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(statements().remove.c_str()));
    s.bind(1, key);
    DOVEK_TRY(s.run());
    return db_->changes() > 0;
  }

  Status replace_all(std::vector<std::pair<std::string, T>> pairs) override {
    {
      DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(statements().clear.c_str()));
      DOVEK_TRY(s.run());
    }
    // INSERT OR REPLACE: of repeated keys the last pair wins.
    for (auto& [key, record] : pairs) DOVEK_TRY(put(key, std::move(record)));
    return ok_status();
  }

 private:
  static const sql::TableStatements& statements() {
    static const sql::TableStatements s = sql::table_statements(kTable);
    return s;
  }

  std::shared_ptr<Database> db_;
};

}  // namespace

Handle<run::Task> task_store(std::shared_ptr<Database> db) {
  return std::make_shared<
      TableStore<run::Task, record_fields::kTasks, record_fields::read_task<Columns>>>(
      std::move(db));
}
Handle<run::Run> run_store(std::shared_ptr<Database> db) {
  return std::make_shared<
      TableStore<run::Run, record_fields::kRuns, record_fields::read_run<Columns>>>(std::move(db));
}
Handle<auth::Profile> profile_store(std::shared_ptr<Database> db) {
  return std::make_shared<
      TableStore<auth::Profile, record_fields::kProfiles, record_fields::read_profile<Columns>>>(
      std::move(db));
}
Handle<model::Model> model_store(std::shared_ptr<Database> db) {
  return std::make_shared<
      TableStore<model::Model, record_fields::kModels, record_fields::read_model<Columns>>>(
      std::move(db));
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
