// Database: one connection to a PostgreSQL server, the transactions of the
// commands run on it, and the round trips that carry their statements.
//
// Statements go out in libpq's pipeline mode, prepared once per connection.
// A statement whose result the caller does not need at once (a write, a
// lock) is queued and rides along with the next one whose rows are needed,
// or with COMMIT; statements registered as prefetched (the selected model)
// ride along with every transaction's first round trip. A command is thus a few round trips
// whatever it writes.
//
// Writers run at READ COMMITTED and lock what they read and mean to write
// (an advisory lock per record key, taken in its own statement before the
// read, so that the read sees what the last holder committed); readers get
// one snapshot (REPEATABLE READ, READ ONLY). A writer also locks a record
// it writes without reading it, so that no command writes an older copy of a
// record over another's.
//
// A writer holds the store's lock shared from before its first record lock,
// and a command that rewrites every table (reset) holds it alone instead,
// taking no record locks. The commands take record locks in one order, which
// keeps them free of deadlocks: task, run, the skill catalog, session,
// profile, selected model (a run's task is written before the run is read, a
// chat turn reads the catalog before its session; the catalog's exclusive
// holders, the writers of skills, take no other lock).
//
// A connection found dead at the start of a command (server restart,
// terminated backend) is replaced before anything is sent; one lost during
// a command's first round trip, before any result was used and without
// COMMIT in it, is replaced and the round trip sent again; one lost later
// fails the command, and the next command reconnects. A process never uses
// a connection across fork(): close_all_for_fork() closes every one before a
// fork, and a connection that finds itself in another process than the one
// that opened it abandons the inherited handle untouched.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/error.h"
#include "postgres/libpq.h"
#include "postgres/url.h"
#include "sql/sql_text.h"
#include "store/transactions.h"

namespace dovek::postgres {

// Statement parameters, sent in binary: texts as their bytes (bytea),
// numbers as 8-byte integers (bigint).
class Params {
 public:
  // The longest value PostgreSQL holds in a field is 1 GB; the values of one
  // statement together stay within that too (the server's limit for a
  // message is just above 2^30 bytes, and libpq takes lengths as int).
  static constexpr size_t kMaxBytes = 1'000'000'000;

  Params& text(std::string_view t);
  Params& text(const std::string& t) { return text(std::string_view(t)); }
  Params& text(const std::optional<std::string>& t);
  Params& integer(int64_t n);

  int size() const { return static_cast<int>(values_.size()); }

  // Fails, naming the limit, when a value or the values together are longer
  // than kMaxBytes; the values are then not kept (nor copied).
  Status fits() const;

 private:
  friend class Database;
  std::vector<std::optional<std::string>> values_;
  size_t bytes_ = 0;    // of every value
  size_t longest_ = 0;  // of one value
};

// The rows of one statement, read in binary: by index, or (as the stores
// of sql/ do) with a cursor that next() moves to the next row.
class Rows {
 public:
  Rows() = default;
  Rows(const Libpq* api, PGresult* result);

  int size() const;
  bool is_null(int row, int col) const;
  std::string_view text(int row, int col) const;
  std::optional<std::string> optional_text(int row, int col) const;
  int64_t integer(int row, int col) const;  // of a smallint, integer or bigint
  // Rows the statement changed (of an INSERT, UPDATE or DELETE).
  int64_t affected() const;

  Result<bool> next() { return ++row_ < size(); }
  bool is_null(int col) const { return is_null(row_, col); }
  std::string_view text(int col) const { return text(row_, col); }
  std::optional<std::string> optional_text(int col) const { return optional_text(row_, col); }
  int64_t integer(int col) const { return integer(row_, col); }

 private:
  const Libpq* api_ = nullptr;
  std::shared_ptr<PGresult> result_;
  int row_ = -1;  // the cursor's
};

class Database;

// The statement text that differs from SQLite's (sql/driver.h).
struct Dialect {
  static constexpr char kMark = '$';
  // INSERT ... ON CONFLICT (key) DO UPDATE of every column.
  static std::string upsert(std::string_view table, sql::Names columns);
  // `key` as a literal of the key column's type.
  static std::string key_literal(std::string_view key);
  // The upper bound makes the condition a range: a prepared statement's
  // generic plan takes a range of unknown bounds to be a small part of the
  // index and scans it, where `seq >= $2` alone is priced at a third of the
  // session's rows, planned as a scan of the table once its statistics know
  // a long session, and so planned anew at every execution instead.
  static constexpr const char* kSelectMessages =
      "SELECT role, content FROM messages WHERE session = $1 AND seq BETWEEN $2 AND "
      "9223372036854775807 ORDER BY seq";
  // A skill row's version column, one above every version so far (and above
  // the floor that removals raise; see schema.cc).
  static constexpr const char* kSkillVersions =
      "SELECT greatest((SELECT max(version) FROM skills), value), value FROM counters "
      "WHERE name = 'skills_floor'";
  static std::string skill_put(sql::Names columns);
  static std::string skill_since(sql::Names columns);
  static Result<std::optional<int64_t>> remove_skill(Database& db, std::string_view key);
  static Status clear_skills(Database& db, const std::function<void(int64_t)>& then);
};

// The advisory lock key (pg_advisory_xact_lock's bigint) of record `key` of
// `table` in the store in `schema`; the store's own lock is its table "".
int64_t lock_key(std::string_view schema, std::string_view table, std::string_view key);

class Database final : public store::Transactions {
 public:
  // The driver of sql/driver.h (see the driver's members below).
  static constexpr bool kPipelined = true;
  using Rows = postgres::Rows;
  using Dialect = postgres::Dialect;

  // Connects, creates or brings the schema up to date (the first process to
  // get there does it; others wait), and refuses a schema that is newer than
  // this build or holds tables of another application. Fails with
  // "open store URL: cause", the URL shown without its password.
  [[nodiscard]] static Result<std::shared_ptr<Database>> open(Options options);

  ~Database() override;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  Status begin(store::Access access) override;
  Status commit() override;
  void rollback() noexcept override;

  // Whether the open transaction is a writer's (which locks what it reads).
  bool writing() const { return writing_; }

  // Queues `sql` (text that lives as long as the process, such as a string
  // literal: prepared once, named by its address).
  // Its result is checked at the next round trip, which fails if it failed;
  // `then`, if given, sees its rows there. REQUIRES: inside a transaction.
  void queue(const char* sql, Params params, std::function<void(Rows&)> then = {});
  // Sends what is queued and `sql`, and returns the rows of `sql`.
  [[nodiscard]] Result<Rows> fetch(const char* sql, Params params);

  // Registers `sql` (no parameters) to be sent with the first round trip of
  // every transaction; returns its slot. Call before the first begin().
  size_t add_prefetch(const char* sql);
  // The rows of prefetch `slot` in this transaction, fetched now if the
  // transaction has not made its first round trip yet.
  [[nodiscard]] Result<Rows> prefetched(size_t slot);

  // The driver of sql/driver.h: statements queued to the next round trip,
  // each parameter bound into Params, a writer's advisory lock per record.

  template <class Bind>
  [[nodiscard]] Status exec(const char* sql, Bind&& bind) {
    Params p;
    bind(p);
    queue(sql, std::move(p));
    return ok_status();
  }
  template <class Bind, class Then>
  [[nodiscard]] Status exec(const char* sql, Bind&& bind, Then&& then) {
    Params p;
    bind(p);  // before `then` is moved: it may hold what is bound
    queue(sql, std::move(p), std::function<void(Rows&)>(std::forward<Then>(then)));
    return ok_status();
  }
  template <class Bind>
  [[nodiscard]] Result<Rows> fetch(const char* sql, Bind&& bind) {
    Params p;
    bind(p);
    return fetch(sql, std::move(p));
  }
  // Queue taking the lock of record `key` of `table` (lock_key), exclusive
  // or shared, in a writer's transaction, held to its end; nothing in a
  // reader's, nor once the writer holds the store alone. Each lock is taken
  // once per transaction, the store's shared lock before the first.
  void lock(std::string_view table, std::string_view key) { take(table, key, true); }
  void lock_shared(std::string_view table, std::string_view key) { take(table, key, false); }
  // Queues taking the store's lock alone: other writers wait until this
  // transaction ends, and it waits for theirs. Call before lock().
  void lock_store();
  // Forces a round trip every kBatch statements queued.
  [[nodiscard]] Status pace(size_t queued);
  // A session's gen after a rewrite: a fresh random number, so that no two
  // writers (processes, hosts) ever hand out the same one.
  [[nodiscard]] Result<int64_t> next_gen();

  // Changes with every transaction begun on this object.
  uint64_t transaction_serial() const { return serial_; }
  // Changes whenever a transaction is rolled back: what a repository cached
  // from writes of earlier transactions may then be wrong.
  uint64_t rollback_epoch() const { return epoch_; }

  const Options& options() const { return options_; }

  // See the file comment. Called with every core's lock and
  // store::library_lock() held; open(), the destructor and
  // close_all_at_exit() take that lock.
  static void close_all_for_fork();
  static void close_all_at_exit();

 private:
  struct Pending {
    const char* sql;
    Params params;
    std::function<void(Rows&)> then;
  };

  Database(Options options, const Libpq* api);

  Status connect();           // a fresh connection, set up, in pipeline mode
  Status ensure_connected();  // reconnects when dead or inherited
  Status migrate();           // on a connection not yet in pipeline mode
  void close() noexcept;
  void abandon() noexcept;    // forgets the connection without using it
  bool dead_between_commands() const;

  void take(std::string_view table, std::string_view key, bool exclusive);
  Status round_trip();
  Status send_and_read(bool& lost);
  Error statement_error(PGresult* result, bool& lost) const;
  Error lost_error(std::string_view what) const;

  const Options options_;
  const Libpq* api_;
  PGconn* conn_ = nullptr;
  pid_t pid_ = 0;
  std::unordered_map<const char*, std::string> prepared_;  // sql -> name
  uint64_t next_name_ = 0;
  std::vector<Pending> pending_;
  std::vector<const char*> prefetch_sql_;
  std::vector<Rows> prefetch_rows_;
  uint64_t prefetch_serial_ = 0;  // the transaction prefetch_rows_ belong to
  bool in_transaction_ = false;
  bool writing_ = false;
  bool used_results_ = false;  // results of this transaction were handed out
  uint64_t serial_ = 0;
  uint64_t epoch_ = 0;
  // The locks this transaction took: (lock key, exclusive); the store's
  // first, when taken.
  std::vector<std::pair<int64_t, bool>> locks_;
  std::atomic<bool> busy_{false};
  std::mt19937_64 rng_;  // of next_gen(), seeded in each process
  pid_t rng_pid_ = 0;
};

}  // namespace dovek::postgres
