// Tasks, runs, profiles and the selected model: one row per record, read and
// written whole. A writer locks the record's key before it reads or writes
// the record, so that a command's read-modify-write of a run is not
// interleaved with another's, nor undone by its write of an older copy.
// The selected model is read with every transaction's first round trip.
#include <utility>
#include <vector>

#include "domain/record_fields.h"
#include "postgres/statements.h"
#include "postgres/stores.h"

namespace dovek::postgres {

namespace {

template <class C>
concept Prefetching = requires { C::kPrefetchKey; };

// A table of records of T, one row each. Codec gives the table
// (record_fields) and reads a record.
template <class T, class Codec>
class TableStore final : public store::Repository<T> {
 public:
  using List = typename store::Repository<T>::List;

  explicit TableStore(std::shared_ptr<Database> db) : db_(std::move(db)) {
    if constexpr (Prefetching<Codec>) slot_ = db_->add_prefetch(prefetch().c_str());
  }

  Result<std::optional<T>> get(std::string_view key) const override {
    Rows rows;
    if constexpr (Prefetching<Codec>) {
      if (key == Codec::kPrefetchKey && written_ != db_->transaction_serial()) {
        DOVEK_ASSIGN_OR_RETURN(rows, db_->prefetched(slot_));
        return read_one(rows);
      }
    }
    db_->lock(Codec::kTable.name, key);
    DOVEK_ASSIGN_OR_RETURN(rows, db_->fetch(statements().get.c_str(), Params().text(key)));
    return read_one(rows);
  }

  Result<List> list() const override {
    DOVEK_ASSIGN_OR_RETURN(Rows rows, db_->fetch(statements().list.c_str(), Params()));
    std::vector<std::pair<std::string, T>> pairs;
    pairs.reserve(rows.size());
    for (int i = 0; i < rows.size(); ++i) {
      Columns c(rows, i, 1);
      pairs.emplace_back(std::string(rows.text(i, 0)), Codec::read(c));
    }
    return List::from_pairs(std::move(pairs));
  }

  Status put(std::string_view key, T record) override {
    db_->lock(Codec::kTable.name, key);
    Params p;
    p.text(key);
    record_fields::write(p, record);
    db_->queue(statements().put.c_str(), std::move(p));
    written_ = db_->transaction_serial();
    return ok_status();
  }

  Result<bool> remove(std::string_view key) override {
    db_->lock(Codec::kTable.name, key);
    written_ = db_->transaction_serial();
    DOVEK_ASSIGN_OR_RETURN(Rows rows, db_->fetch(statements().remove.c_str(), Params().text(key)));
    return rows.affected() > 0;
  }

  Status replace_all(std::vector<std::pair<std::string, T>> pairs) override {
    db_->lock_store();
    db_->queue(statements().clear.c_str(), Params());
    written_ = db_->transaction_serial();
    // Of repeated keys the last pair wins (each put replaces the row).
    for (auto& [key, record] : pairs) DOVEK_TRY(put(key, std::move(record)));
    return ok_status();
  }

 private:
  static const sql::TableStatements& statements() {
    static const sql::TableStatements s = sql::table_statements(Codec::kTable);
    return s;
  }

  // The record of kPrefetchKey, read with every transaction's first round
  // trip.
  static const std::string& prefetch()
    requires Prefetching<Codec>
  {
    static const std::string s = "SELECT " + sql::names(Codec::kTable.columns) + " FROM " +
                                 std::string(Codec::kTable.name) + " WHERE key = '" +
                                 std::string(Codec::kPrefetchKey) + "'::bytea";
    return s;
  }

  static std::optional<T> read_one(const Rows& rows) {
    if (rows.size() == 0) return std::nullopt;
    Columns c(rows, 0, 0);
    return Codec::read(c);
  }

  std::shared_ptr<Database> db_;
  size_t slot_ = 0;
  uint64_t written_ = 0;  // the transaction that last wrote this table
};

struct TaskCodec {
  static constexpr const record_fields::Table& kTable = record_fields::kTasks;
  static run::Task read(Columns& c) { return record_fields::read_task(c); }
};

struct RunCodec {
  static constexpr const record_fields::Table& kTable = record_fields::kRuns;
  static run::Run read(Columns& c) { return record_fields::read_run(c); }
};

struct ProfileCodec {
  static constexpr const record_fields::Table& kTable = record_fields::kProfiles;
  static auth::Profile read(Columns& c) { return record_fields::read_profile(c); }
};

struct ModelCodec {
  static constexpr const record_fields::Table& kTable = record_fields::kModels;
  // The engine's one model record, read with every transaction's first
  // round trip: the flows that use it need it anyway.
  static constexpr std::string_view kPrefetchKey = model::kSelectedKey;

  static model::Model read(Columns& c) { return record_fields::read_model(c); }
};

}  // namespace

Result<Stores> open_stores(Options options) {
  DOVEK_ASSIGN_OR_RETURN(std::shared_ptr<Database> db, Database::open(std::move(options)));
  Stores stores;
  stores.skills = skill_store(db);
  stores.sessions = session_store(db);
  stores.tasks = std::make_shared<TableStore<run::Task, TaskCodec>>(db);
  stores.runs = std::make_shared<TableStore<run::Run, RunCodec>>(db);
  stores.profiles = std::make_shared<TableStore<auth::Profile, ProfileCodec>>(db);
  stores.model = std::make_shared<TableStore<model::Model, ModelCodec>>(db);
  stores.db = std::move(db);
  return stores;
}

}  // namespace dovek::postgres
