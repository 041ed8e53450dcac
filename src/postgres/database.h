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
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/error.h"
#include "postgres/libpq.h"
#include "postgres/url.h"
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

// The rows of one statement, read in binary.
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

 private:
  const Libpq* api_ = nullptr;
  std::shared_ptr<PGresult> result_;
};

// Row `row` of `rows` read column by column from `col` on (a source of
// domain/record_fields.h).
class Columns {
 public:
  Columns(const Rows& rows, int row, int col) : rows_(&rows), row_(row), col_(col) {}
  std::string_view text() { return rows_->text(row_, col_++); }
  std::optional<std::string> optional_text() { return rows_->optional_text(row_, col_++); }
  int64_t integer() { return rows_->integer(row_, col_++); }

 private:
  const Rows* rows_;
  int row_;
  int col_;
};

// The advisory lock key (pg_advisory_xact_lock's bigint) of record `key` of
// `table` in the store in `schema`; the store's own lock is its table "".
int64_t lock_key(std::string_view schema, std::string_view table, std::string_view key);

class Database final : public store::Transactions {
 public:
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

  enum class Lock { Shared, Exclusive };
  // Queues taking the lock of record `key` of `table` (lock_key) in a
  // writer's transaction, held to its end; nothing in a reader's, nor once
  // the writer holds the store alone. Each lock is taken once per
  // transaction, the store's shared lock before the first.
  void lock(std::string_view table, std::string_view key, Lock mode = Lock::Exclusive);
  // Queues taking the store's lock alone: other writers wait until this
  // transaction ends, and it waits for theirs. Call before lock().
  void lock_store();

  // Queues `sql` (text that lives as long as the process, such as a string
  // literal: prepared once, named by its address).
  // Its result is checked at the next round trip, which fails if it failed;
  // `then`, if given, sees its rows there. REQUIRES: inside a transaction.
  void queue(const char* sql, Params params, std::function<void(const Rows&)> then = {});
  // Sends what is queued and `sql`, and returns the rows of `sql`.
  [[nodiscard]] Result<Rows> fetch(const char* sql, Params params);

  // Registers `sql` (no parameters) to be sent with the first round trip of
  // every transaction; returns its slot. Call before the first begin().
  size_t add_prefetch(const char* sql);
  // The rows of prefetch `slot` in this transaction, fetched now if the
  // transaction has not made its first round trip yet.
  [[nodiscard]] Result<Rows> prefetched(size_t slot);

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
    std::function<void(const Rows&)> then;
  };

  Database(Options options, const Libpq* api);

  Status connect();           // a fresh connection, set up, in pipeline mode
  Status ensure_connected();  // reconnects when dead or inherited
  Status migrate();           // on a connection not yet in pipeline mode
  void close() noexcept;
  void abandon() noexcept;    // forgets the connection without using it
  bool dead_between_commands() const;

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
};

}  // namespace dovek::postgres
