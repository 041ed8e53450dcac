// Tasks, runs, profiles and the selected model: one row per record, read and
// written whole. A writer's get locks the record's key first, so that a
// command's read-modify-write of a run is not interleaved with another's.
// The selected model is read with every transaction's first round trip.
#include <utility>
#include <vector>

#include "domain/record_fields.h"
#include "postgres/stores.h"

namespace dovek::postgres {

int64_t lock_key(std::string_view table, std::string_view key) {
  uint64_t h = 14695981039346656037ull;  // FNV-1a
  auto mix = [&h](std::string_view s) {
    for (unsigned char c : s) {
      h ^= c;
      h *= 1099511628211ull;
    }
  };
  mix(table);
  mix(std::string_view("\0", 1));
  mix(key);
  return static_cast<int64_t>(h);
}

namespace {

template <class C>
concept Prefetching = requires { C::kPrefetchKey; };

// A table of records of T, one row each. Codec gives the SQL (the record's
// columns after `key`, in record_fields' order) and reads a record.
template <class T, class Codec>
class TableStore final : public store::Repository<T> {
 public:
  using List = typename store::Repository<T>::List;

  explicit TableStore(std::shared_ptr<Database> db) : db_(std::move(db)) {
    if constexpr (Prefetching<Codec>) slot_ = db_->add_prefetch(Codec::kPrefetch);
  }

  Result<std::optional<T>> get(std::string_view key) const override {
    Rows rows;
    if constexpr (Prefetching<Codec>) {
      if (key == Codec::kPrefetchKey && written_ != db_->transaction_serial()) {
        DOVEK_ASSIGN_OR_RETURN(rows, db_->prefetched(slot_));
        return read_one(rows);
      }
    }
    if (db_->writing()) db_->queue(kLock, Params().integer(lock_key(Codec::kTable, key)));
    DOVEK_ASSIGN_OR_RETURN(rows, db_->fetch(Codec::kGet, Params().text(key)));
    return read_one(rows);
  }

  Result<List> list() const override {
    DOVEK_ASSIGN_OR_RETURN(Rows rows, db_->fetch(Codec::kList, Params()));
    std::vector<std::pair<std::string, T>> pairs;
    pairs.reserve(rows.size());
    for (int i = 0; i < rows.size(); ++i) {
      Columns c(rows, i, 1);
      pairs.emplace_back(std::string(rows.text(i, 0)), Codec::read(c));
    }
    return List::from_pairs(std::move(pairs));
  }

  Status put(std::string_view key, T record) override {
    Params p;
    p.text(key);
    record_fields::write(p, record);
    db_->queue(Codec::kPut, std::move(p));
    written_ = db_->transaction_serial();
    return ok_status();
  }

  Result<bool> remove(std::string_view key) override {
    written_ = db_->transaction_serial();
    DOVEK_ASSIGN_OR_RETURN(Rows rows, db_->fetch(Codec::kRemove, Params().text(key)));
    return rows.affected() > 0;
  }

  Status replace_all(std::vector<std::pair<std::string, T>> pairs) override {
    db_->queue(Codec::kClear, Params());
    written_ = db_->transaction_serial();
    // Of repeated keys the last pair wins (each put replaces the row).
    for (auto& [key, record] : pairs) DOVEK_TRY(put(key, std::move(record)));
    return ok_status();
  }

 private:
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
  static constexpr const char* kTable = "tasks";
  static constexpr const char* kGet =
      "SELECT id, title, input, agent_id, session_id, status, schedule, created_at, updated_at, "
      "error FROM tasks WHERE key = $1";
  static constexpr const char* kList =
      "SELECT key, id, title, input, agent_id, session_id, status, schedule, created_at, "
      "updated_at, error FROM tasks ORDER BY key";
  static constexpr const char* kPut =
      "INSERT INTO tasks (key, id, title, input, agent_id, session_id, status, schedule, "
      "created_at, updated_at, error) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11) "
      "ON CONFLICT (key) DO UPDATE SET id = EXCLUDED.id, title = EXCLUDED.title, "
      "input = EXCLUDED.input, agent_id = EXCLUDED.agent_id, session_id = EXCLUDED.session_id, "
      "status = EXCLUDED.status, schedule = EXCLUDED.schedule, created_at = "
      "EXCLUDED.created_at, updated_at = EXCLUDED.updated_at, error = EXCLUDED.error";
  static constexpr const char* kRemove = "DELETE FROM tasks WHERE key = $1";
  static constexpr const char* kClear = "DELETE FROM tasks";

  static run::Task read(Columns& c) { return record_fields::read_task(c); }
};

struct RunCodec {
  static constexpr const char* kTable = "runs";
  static constexpr const char* kGet =
      "SELECT id, task_id, status, raw_status, session_id, execution_id, checkpoint_id, error, "
      "started_at, updated_at, ended_at FROM runs WHERE key = $1";
  static constexpr const char* kList =
      "SELECT key, id, task_id, status, raw_status, session_id, execution_id, checkpoint_id, "
      "error, started_at, updated_at, ended_at FROM runs ORDER BY key";
  static constexpr const char* kPut =
      "INSERT INTO runs (key, id, task_id, status, raw_status, session_id, execution_id, "
      "checkpoint_id, error, started_at, updated_at, ended_at) VALUES ($1, $2, $3, $4, $5, $6, "
      "$7, $8, $9, $10, $11, $12) ON CONFLICT (key) DO UPDATE SET id = EXCLUDED.id, task_id = "
      "EXCLUDED.task_id, status = EXCLUDED.status, raw_status = EXCLUDED.raw_status, "
      "session_id = EXCLUDED.session_id, execution_id = EXCLUDED.execution_id, checkpoint_id = "
      "EXCLUDED.checkpoint_id, error = EXCLUDED.error, started_at = EXCLUDED.started_at, "
      "updated_at = EXCLUDED.updated_at, ended_at = EXCLUDED.ended_at";
  static constexpr const char* kRemove = "DELETE FROM runs WHERE key = $1";
  static constexpr const char* kClear = "DELETE FROM runs";

  static run::Run read(Columns& c) { return record_fields::read_run(c); }
};

struct ProfileCodec {
  static constexpr const char* kTable = "profiles";
  static constexpr const char* kGet = "SELECT provider_id, secret_key FROM profiles WHERE key = $1";
  static constexpr const char* kList =
      "SELECT key, provider_id, secret_key FROM profiles ORDER BY key";
  static constexpr const char* kPut =
      "INSERT INTO profiles (key, provider_id, secret_key) VALUES ($1, $2, $3) ON CONFLICT (key) "
      "DO UPDATE SET provider_id = EXCLUDED.provider_id, secret_key = EXCLUDED.secret_key";
  static constexpr const char* kRemove = "DELETE FROM profiles WHERE key = $1";
  static constexpr const char* kClear = "DELETE FROM profiles";

  static auth::Profile read(Columns& c) { return record_fields::read_profile(c); }
};

struct ModelCodec {
  static constexpr const char* kTable = "models";
  static constexpr const char* kGet = "SELECT provider_id, model_id FROM models WHERE key = $1";
  static constexpr const char* kList = "SELECT key, provider_id, model_id FROM models ORDER BY key";
  static constexpr const char* kPut =
      "INSERT INTO models (key, provider_id, model_id) VALUES ($1, $2, $3) ON CONFLICT (key) "
      "DO UPDATE SET provider_id = EXCLUDED.provider_id, model_id = EXCLUDED.model_id";
  static constexpr const char* kRemove = "DELETE FROM models WHERE key = $1";
  static constexpr const char* kClear = "DELETE FROM models";
  // The engine's one model record, read with every transaction's first
  // round trip: the flows that use it need it anyway.
  static constexpr std::string_view kPrefetchKey = "selected";
  static constexpr const char* kPrefetch =
      "SELECT provider_id, model_id FROM models WHERE key = 'selected'::bytea";

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
