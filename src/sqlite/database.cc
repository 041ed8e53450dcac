#include "sqlite/database.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "base/live_set.h"
#include "sqlite/schema.h"
#include "store/library_lock.h"

namespace dovek::sqlite {
namespace {

using Clock = std::chrono::steady_clock;

// Creates the file with mode 0600 whatever the umask, so that the -wal and
// -shm files, which SQLite gives the database's mode, are private too. An
// existing file (or anything else at the path) is left as it is.
Status create_private_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return ok_status();
    return Error(std::strerror(errno));
  }
  const bool ok = ::fchmod(fd, 0600) == 0;
  const int err = errno;
  ::close(fd);
  if (!ok) return Error(std::strerror(err));
  return ok_status();
}

// Refuses a store whose file, -wal or -shm belongs to another user than this
// process's effective one: its owner could read and change what is stored
// (SQLite, running as root, even gives the companion files the database's
// owner). Missing files are fine: they are created as this user's.
Status check_owner(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"}) {
    struct stat st{};
    if (::lstat((path + suffix).c_str(), &st) != 0) {
      if (errno == ENOENT) continue;
      return Error(std::strerror(errno));
    }
    if (st.st_uid != ::geteuid()) return Error("owned by another user");
  }
  return ok_status();
}

}  // namespace

Stmt& Stmt::bind(int i, std::string_view text) {
  // A null pointer would bind SQL NULL, not the empty text.
  const char* data = text.data() != nullptr ? text.data() : "";
  return bound(sqlite3_bind_text64(s_, i, data, text.size(), SQLITE_STATIC, SQLITE_UTF8));
}

Stmt& Stmt::bind(int i, const std::optional<std::string>& text) {
  if (text) return bind(i, std::string_view(*text));
  return bound(sqlite3_bind_null(s_, i));
}

Stmt& Stmt::bind(int i, int64_t n) { return bound(sqlite3_bind_int64(s_, i, n)); }

Result<bool> Stmt::step() {
  if (bind_rc_ != SQLITE_OK) return db_->error(bind_rc_);
  const int rc = sqlite3_step(s_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  return db_->error(rc);
}

Status Stmt::run() {
  DOVEK_ASSIGN_OR_RETURN(bool row, step());
  (void)row;
  return ok_status();
}

std::string_view Stmt::text(int col) const {
  const auto* p = static_cast<const char*>(sqlite3_column_blob(s_, col));
  const int n = sqlite3_column_bytes(s_, col);
  return p == nullptr ? std::string_view() : std::string_view(p, static_cast<size_t>(n));
}

std::optional<std::string> Stmt::optional_text(int col) const {
  if (is_null(col)) return std::nullopt;
  return std::string(text(col));
}

Database::Database(Options options) : options_(std::move(options)) { LiveSet<Database>::add(this); }

Database::~Database() {
  LiveSet<Database>::remove(this);
  std::lock_guard<std::mutex> lock(store::library_lock());
  close();
}

Result<std::shared_ptr<Database>> Database::open(Options options) {
  const std::string what = "open store " + options.path;  // as the caller gave it
  // A connection is reopened after a fork: by then the working directory
  // may be another, so a relative path is fixed now.
  if (!options.path.empty() && options.path.front() != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return context(what, Error(std::strerror(errno)));
    options.path = std::string(cwd) + "/" + options.path;
  }
  std::shared_ptr<Database> db;  // outlives the lock below, which its destructor takes
  Status opened = ok_status();
  {
    std::lock_guard<std::mutex> lock(store::library_lock());
    opened = create_private_file(options.path);
    if (!opened.ok()) return context(what, std::move(opened).error());
    db.reset(new Database(std::move(options)));
    opened = db->connect();
    if (opened.ok()) opened = db->check_and_migrate();
    // Again now that -wal and -shm exist: neither was planted meanwhile.
    if (opened.ok()) opened = check_owner(db->options_.path);
    if (!opened.ok()) db->close();
  }
  if (!opened.ok()) return context(what, std::move(opened).error());
  return db;
}

Error Database::error(int rc) const {
  const int primary = rc & 0xff;
  if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
    return Error("store busy: database locked by another connection for over " +
                 std::to_string(options_.busy_timeout_ms) + " ms");
  }
  if (primary == SQLITE_TOOBIG && db_ != nullptr) {
    return Error("store error: a value is longer than the store's limit of " +
                 std::to_string(sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, -1)) + " bytes");
  }
  const char* message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
  return Error(std::string("store error: ") + message);
}

// SQLite's own busy handler backs off to 100 ms between tries, so a process
// that writes back to back can keep a waiting one out for its whole timeout.
// Polling at most a millisecond apart gives the waiter a chance at each gap
// between the other's transactions.
int Database::on_busy(void* self, int attempts) {
  auto* db = static_cast<Database*>(self);
  const Clock::time_point now = Clock::now();
  if (attempts == 0) db->busy_since_ = now;
  if (now - db->busy_since_ >= std::chrono::milliseconds(db->options_.busy_timeout_ms)) return 0;
  std::this_thread::sleep_for(
      std::chrono::microseconds(std::min(1000, 64 << std::min(attempts, 4))));
  return 1;
}

Status Database::connect() {
  DOVEK_TRY(check_owner(options_.path));
  // A symbolic link at the path is not followed (SQLite opens the -wal and
  // -shm without following one too): its target is someone else's choice.
  sqlite3* handle = nullptr;
  const int rc =
      sqlite3_open_v2(options_.path.c_str(), &handle,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
  if (rc != SQLITE_OK) {
    const bool link =
        handle != nullptr && sqlite3_extended_errcode(handle) == SQLITE_CANTOPEN_SYMLINK;
    Error e(link ? std::string("is a symbolic link")
                 : std::string(handle != nullptr ? sqlite3_errmsg(handle) : sqlite3_errstr(rc)));
    sqlite3_close_v2(handle);
    return e;
  }
  db_ = handle;
  pid_ = ::getpid();
  // SQLite falls back to reading a file it may not write, silently: such a
  // connection would fail every command, so the open fails instead.
  Status status = sqlite3_db_readonly(db_, "main") == 1 ? Status(Error("read-only")) : ok_status();
  if (status.ok()) {
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_handler(db_, &Database::on_busy, this);
    status =
        exec(options_.synchronous_full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
  }
  if (!status.ok()) close();
  return status;
}

Status Database::ensure_connected() {
  if (db_ != nullptr && pid_ == ::getpid()) return ok_status();
  if (db_ != nullptr) {
    // Inherited through a fork we were not told of: the parent still uses
    // this handle, so it is abandoned, never closed or finalised here.
    db_ = nullptr;
    statements_.clear();
  }
  return connect();
}

Status Database::exec(const char* sql) {
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return error(rc);
  return ok_status();
}

void Database::close() noexcept {
  if (db_ == nullptr) return;
  if (pid_ == ::getpid()) {
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
    sqlite3_close_v2(db_);
  }
  statements_.clear();
  db_ = nullptr;
}

Result<Stmt> Database::prepare(const char* sql) {
  auto [it, inserted] = statements_.try_emplace(sql, nullptr);
  if (inserted) {
    const int rc =
        sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &it->second, nullptr);
    if (rc != SQLITE_OK) {
      statements_.erase(it);
      return error(rc);
    }
  }
  return Result<Stmt>(std::in_place, *this, it->second);
}

namespace {

// Runs `attempt` again while the database is busy (another process opening
// or migrating the same file), up to the busy timeout.
template <class F>
Status retry_while_busy(int64_t timeout_ms, F&& attempt) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int rc = SQLITE_OK;
    Status status = attempt(rc);
    const int primary = rc & 0xff;
    if (status.ok() || (primary != SQLITE_BUSY && primary != SQLITE_LOCKED) ||
        Clock::now() >= deadline) {
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

// Reads the version and the tables in one snapshot and refuses what is not
// ours before anything is written; only then switches to WAL (which writes the
// header) and migrates inside a write transaction, checking again there.
Status Database::check_and_migrate() {
  int64_t version = 0;
  int64_t tables = 0;
  auto read_state = [&](int& rc) -> Status {
    rc = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return error(rc);
    auto read = [&]() -> Status {
      DOVEK_ASSIGN_OR_RETURN(Stmt v, prepare("PRAGMA user_version"));
      Result<bool> row = v.step();
      if (!row.ok()) return std::move(row).error();
      version = v.integer(0);
      DOVEK_ASSIGN_OR_RETURN(Stmt t, prepare("SELECT count(*) FROM sqlite_master"));
      row = t.step();
      if (!row.ok()) return std::move(row).error();
      tables = t.integer(0);
      return ok_status();
    };
    Status status = read();
    rc = status.ok() ? SQLITE_OK : sqlite3_extended_errcode(db_);
    sqlite3_exec(db_, status.ok() ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
    return status;
  };
  auto refuse = [&]() -> Status {
    if (version > kSchemaVersion) {
      return Error("database schema version " + std::to_string(version) +
                   " is newer than this build supports (" + std::to_string(kSchemaVersion) + ")");
    }
    if (version < 0)
      return Error("database schema version " + std::to_string(version) + " is invalid");
    if (version == 0 && tables > 0) return Error("database holds tables of another application");
    return ok_status();
  };
  DOVEK_TRY(retry_while_busy(options_.busy_timeout_ms, read_state));
  DOVEK_TRY(refuse());
  DOVEK_TRY(retry_while_busy(options_.busy_timeout_ms, [&](int& rc) -> Status {
    DOVEK_ASSIGN_OR_RETURN(Stmt mode, prepare("PRAGMA journal_mode=WAL"));
    Result<bool> row = mode.step();
    if (!row.ok()) {
      rc = sqlite3_extended_errcode(db_);
      return std::move(row).error();
    }
    if (!*row || mode.text(0) != "wal") return Error("cannot switch the database to WAL");
    return ok_status();
  }));
  if (version == kSchemaVersion) return ok_status();
  return retry_while_busy(options_.busy_timeout_ms, [&](int& rc) -> Status {
    rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return error(rc);
    auto migrate = [&]() -> Status {
      DOVEK_ASSIGN_OR_RETURN(Stmt v, prepare("PRAGMA user_version"));
      DOVEK_TRY(v.step());
      version = v.integer(0);
      DOVEK_ASSIGN_OR_RETURN(Stmt t, prepare("SELECT count(*) FROM sqlite_master"));
      DOVEK_TRY(t.step());
      tables = t.integer(0);
      DOVEK_TRY(refuse());
      for (; version < kSchemaVersion; ++version)
        DOVEK_TRY(exec(migration(static_cast<int>(version))));
      DOVEK_TRY(exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str()));
      return exec("COMMIT");
    };
    Status status = migrate();
    if (!status.ok()) {
      rc = sqlite3_extended_errcode(db_);
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    return status;
  });
}

Status Database::begin(store::Access access) {
  bool expected = false;
  if (!busy_.compare_exchange_strong(expected, true)) {
    return Error("store closed: the process is exiting");
  }
  Status connected = ensure_connected();
  if (!connected.ok()) {
    busy_.store(false);
    return context("store error: cannot reopen " + options_.path, std::move(connected).error());
  }
  Result<Stmt> stmt =
      prepare(access == store::Access::kWrite ? "BEGIN IMMEDIATE" : "BEGIN DEFERRED");
  Status begun = stmt.ok() ? stmt->run() : Status(std::move(stmt).error());
  if (!begun.ok()) {
    busy_.store(false);
    return begun;
  }
  in_transaction_ = true;
  writing_ = access == store::Access::kWrite;
  ++serial_;
  if (writing_) return ok_status();  // checked at commit
  Status here = check_not_moved();
  if (!here.ok()) rollback();
  return here;
}

Status Database::commit() {
  Status done = writing_ ? check_not_moved() : ok_status();
  if (done.ok()) {
    Result<Stmt> stmt = prepare("COMMIT");
    done = stmt.ok() ? stmt->run() : Status(std::move(stmt).error());
  }
  if (!done.ok()) {
    rollback();
    return done;
  }
  in_transaction_ = false;
  busy_.store(false);
  return ok_status();
}

void Database::rollback() noexcept {
  if (!in_transaction_) return;
  if (db_ != nullptr && !sqlite3_get_autocommit(db_)) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  in_transaction_ = false;
  ++epoch_;
  busy_.store(false);
}

Status Database::check_not_moved() {
  int moved = 0;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK && moved) {
    return Error("store file was moved or deleted: " + options_.path);
  }
  return ok_status();
}

void Database::close_all_for_fork() {
  LiveSet<Database>::for_each([](Database* db) {
    if (!db->busy_.load()) db->close();
  });
}

void Database::close_all_at_exit() {
  std::lock_guard<std::mutex> lock(store::library_lock());
  LiveSet<Database>::for_each([](Database* db) {
    bool expected = false;
    if (db->busy_.compare_exchange_strong(expected, true)) {
      db->close();
      db->closed_at_exit_ = true;  // busy_ stays set: begin() fails from now on
    }
  });
}

}  // namespace dovek::sqlite
