// Database: one SQLite connection to a store file, the transactions of the
// commands run on it, and the prepared statements of its repositories.
//
// The connection is opened in WAL mode and closed cleanly: after the last
// connection to a file closes normally no -wal content is left. A process
// never carries a connection across fork(): close_all_for_fork() closes every
// connection before the fork and each reopens on its next use, in the parent
// and in the child; a connection that finds itself in another process than
// the one that opened it (a fork behind our back) abandons the inherited
// handle untouched and opens a fresh one.
#pragma once

#include <sqlite3.h>

#include <sys/types.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "base/error.h"
#include "sql/sql_text.h"
#include "store/transactions.h"

namespace dovek::sqlite {

// How a store file is used; from the store URL's query.
struct Options {
  std::string path;
  bool synchronous_full = false;  // synchronous=full: survives power loss too
  int64_t busy_timeout_ms = 5000;
};

class Database;

// One use of a prepared statement: binds, steps and reads columns; resets the
// statement when it goes out of scope. Texts bound are not copied: they must
// outlive the Stmt. A binding that fails (a value longer than the store's
// limit) fails the next step(), so that nothing is written without it.
class Stmt {
 public:
  Stmt(Database& db, sqlite3_stmt* s) : db_(&db), s_(s) {}
  Stmt(Stmt&& other) noexcept
      : db_(other.db_), s_(std::exchange(other.s_, nullptr)), bind_rc_(other.bind_rc_) {}
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  ~Stmt() {
    if (s_ != nullptr) sqlite3_reset(s_);
  }

  Stmt& bind(int i, std::string_view text);
  Stmt& bind(int i, const std::string& text) { return bind(i, std::string_view(text)); }
  Stmt& bind(int i, const std::optional<std::string>& text);
  Stmt& bind(int i, int64_t n);

  // Steps once: true with a row to read, false when done; fails without
  // stepping when a binding failed.
  [[nodiscard]] Result<bool> step();
  // Makes the statement ready to step again (bindings kept).
  void reset() { sqlite3_reset(s_); }
  // Steps to the end, expecting no row.
  [[nodiscard]] Status run();

  std::string_view text(int col) const;
  std::optional<std::string> optional_text(int col) const;
  int64_t integer(int col) const { return sqlite3_column_int64(s_, col); }
  bool is_null(int col) const { return sqlite3_column_type(s_, col) == SQLITE_NULL; }

 private:
  Stmt& bound(int rc) {
    if (bind_rc_ == SQLITE_OK) bind_rc_ = rc;
    return *this;
  }

  Database* db_;
  sqlite3_stmt* s_;
  int bind_rc_ = SQLITE_OK;  // the first failed binding's result
};

// A statement's parameters bound one after another from `index` on (the
// parameter sink of sql/driver.h).
class Binder {
 public:
  Binder(Stmt& s, int index) : s_(&s), index_(index) {}
  Binder& text(std::string_view t) {
    s_->bind(index_++, t);
    return *this;
  }
  Binder& text(const std::string& t) { return text(std::string_view(t)); }
  Binder& text(const std::optional<std::string>& t) {
    s_->bind(index_++, t);
    return *this;
  }
  Binder& integer(int64_t n) {
    s_->bind(index_++, n);
    return *this;
  }

 private:
  Stmt* s_;
  int index_;
};

// The rows of one statement (sql/driver.h's Rows), already stepped once:
// a write has run when it is made. Valid until the next use of the same
// statement.
class Rows {
 public:
  Rows(const Database& db, Stmt s, bool row) : db_(&db), s_(std::move(s)), row_(row) {}

  Result<bool> next() {
    if (!stepped_) {
      stepped_ = true;
      return row_;
    }
    if (!row_) return false;
    DOVEK_ASSIGN_OR_RETURN(row_, s_.step());
    return row_;
  }
  std::string_view text(int col) const { return s_.text(col); }
  std::optional<std::string> optional_text(int col) const { return s_.optional_text(col); }
  int64_t integer(int col) const { return s_.integer(col); }
  bool is_null(int col) const { return s_.is_null(col); }
  int64_t affected() const;

 private:
  const Database* db_;
  Stmt s_;
  bool row_;
  bool stepped_ = false;
};

// The statement text that differs from PostgreSQL's (sql/driver.h).
struct Dialect {
  static constexpr char kMark = '?';
  // INSERT OR REPLACE of the key's row.
  static std::string upsert(std::string_view table, sql::Names columns);
  static constexpr const char* kSelectMessages =
      "SELECT role, content FROM messages WHERE session = ?1 AND seq >= ?2 ORDER BY seq";
  // A skill's version is its rowid, one above every version so far (and
  // above the floor that removals raise; see schema.cc).
  static constexpr const char* kSkillVersions =
      "SELECT max(coalesce((SELECT max(rowid) FROM skills), 0), f.value), f.value "
      "FROM counters f WHERE f.name = 'skills_floor'";
  static std::string skill_put(sql::Names columns);
  static std::string skill_since(sql::Names columns);
  static Result<std::optional<int64_t>> remove_skill(Database& db, std::string_view key);
  static Status clear_skills(Database& db, const std::function<void(int64_t)>& then);
};

// Thread safety: one thread at a time (a core's lock serialises its commands);
// close_all_for_fork and close_all_at_exit may run on any thread.
class Database final : public store::Transactions {
 public:
  // Opens (creating it with mode 0600 when missing) and checks the file,
  // brings its schema up to date, and switches it to WAL. Fails with
  // "open store PATH" and the cause; a file it refuses is left unchanged.
  // Refuses a file, -wal or -shm owned by another user than the process's
  // effective one ("owned by another user") and a symbolic link at the path
  // ("is a symbolic link"), here and on every reconnect.
  [[nodiscard]] static Result<std::shared_ptr<Database>> open(Options options);

  ~Database() override;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Writers take the write lock at begin (BEGIN IMMEDIATE), waiting at most
  // the busy timeout; readers get a snapshot (a deferred transaction).
  // A reader's begin and a writer's commit fail with "store file was moved
  // or deleted: PATH" (rolling back) when the file open is no longer the one
  // at the store's path: what is written to it is lost to every other
  // opener. The check is one stat() of the path per transaction.
  Status begin(store::Access access) override;
  Status commit() override;
  void rollback() noexcept override;

  // The statement of `sql` (text that lives as long as the process, such as a
  // string literal: cached by its address), ready to bind. REQUIRES: inside
  // a transaction.
  [[nodiscard]] Result<Stmt> prepare(const char* sql);

  // The driver of sql/driver.h: every statement runs at once, and a writer
  // holds the whole file, so record locks are free.
  static constexpr bool kPipelined = false;
  using Rows = sqlite::Rows;
  using Dialect = sqlite::Dialect;

  template <class Bind>
  [[nodiscard]] Status exec(const char* sql, Bind&& bind) {
    DOVEK_ASSIGN_OR_RETURN(Stmt s, prepare(sql));
    Binder b(s, 1);
    bind(b);
    return s.run();
  }
  template <class Bind, class Then>
  [[nodiscard]] Status exec(const char* sql, Bind&& bind, Then&& then) {
    DOVEK_ASSIGN_OR_RETURN(Rows rows, fetch(sql, std::forward<Bind>(bind)));
    then(rows);
    return ok_status();
  }
  template <class Bind>
  [[nodiscard]] Result<Rows> fetch(const char* sql, Bind&& bind) {
    DOVEK_ASSIGN_OR_RETURN(Stmt s, prepare(sql));
    Binder b(s, 1);
    bind(b);
    DOVEK_ASSIGN_OR_RETURN(bool row, s.step());
    return Result<Rows>(std::in_place, *this, std::move(s), row);
  }
  void lock(std::string_view, std::string_view) {}
  void lock_shared(std::string_view, std::string_view) {}
  void lock_store() {}
  Status pace(size_t) { return ok_status(); }
  // A session's next gen, from the sessions counter.
  [[nodiscard]] Result<int64_t> next_gen();

  // Changes with every transaction begun on this object: repositories use it
  // to tell what they read in the current transaction.
  uint64_t transaction_serial() const { return serial_; }
  // Changes whenever a transaction is rolled back: what a repository cached
  // from writes of earlier transactions may then be wrong.
  uint64_t rollback_epoch() const { return epoch_; }

  // The error for a failed call with result code `rc` on this connection:
  // "store busy: ..." when locked past the busy timeout; naming the store's
  // length limit for a value or row longer than it.
  Error error(int rc) const;

  const Options& options() const { return options_; }
  // The connection (null when closed), for tests that change its limits.
  sqlite3* connection() const { return db_; }
  // Rows changed by the last statement.
  int64_t changes() const { return sqlite3_changes64(db_); }

  // See the file comment. Called before a fork with every core's lock held
  // (no command in flight) and store::library_lock() (no open or close).
  static void close_all_for_fork();
  // At process exit: closes every connection not in the middle of a command
  // (a daemon thread's); later use of a closed one fails. Takes
  // store::library_lock(), as open() and the destructor do.
  static void close_all_at_exit();

 private:
  explicit Database(Options options);

  static int on_busy(void* self, int attempts);

  Status connect();  // opens the connection (read-write or not at all), applies the pragmas
  Status ensure_connected();  // connect() unless connected in this process
  Status exec(const char* sql);
  void close() noexcept;
  Status check_and_migrate();
  Status check_not_moved();

  const Options options_;
  sqlite3* db_ = nullptr;
  pid_t pid_ = 0;  // the process that opened db_
  std::chrono::steady_clock::time_point busy_since_;  // of the current wait
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
  bool in_transaction_ = false;
  bool writing_ = false;  // the open transaction is a writer's
  uint64_t serial_ = 0;
  uint64_t epoch_ = 0;
  // Set while a transaction is open, and for good once closed at exit, so
  // that the exit hook never closes a connection under a running command.
  std::atomic<bool> busy_{false};
  bool closed_at_exit_ = false;  // guarded by busy_
};

inline int64_t Rows::affected() const { return db_->changes(); }

}  // namespace dovek::sqlite
