#include "postgres/database.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "base/live_set.h"
#include "postgres/schema.h"
#include "store/library_lock.h"

namespace dovek::postgres {
namespace {

constexpr const char* kCommit = "COMMIT";
constexpr const char* kRollback = "ROLLBACK";

std::string trimmed(const char* message) {
  std::string s = message != nullptr ? message : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// SQLSTATEs of a connection that is gone: class 08 and the server's
// shutdown and termination of the backend.
bool connection_gone(std::string_view state) {
  return state.substr(0, 2) == "08" || state == "57P01" || state == "57P02" || state == "57P03";
}

}  // namespace

Params& Params::text(std::string_view t) {
  bytes_ += t.size();
  longest_ = std::max(longest_, t.size());
  if (bytes_ > kMaxBytes) {
    values_.emplace_back(std::in_place);  // never sent: fits() fails
  } else {
    values_.emplace_back(std::in_place, t.data() != nullptr ? t.data() : "", t.size());
  }
  return *this;
}

Params& Params::text(const std::optional<std::string>& t) {
  if (t) return text(std::string_view(*t));
  values_.emplace_back(std::nullopt);
  return *this;
}

Params& Params::integer(int64_t n) {
  std::string bytes(8, '\0');
  const auto u = static_cast<uint64_t>(n);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(u >> (56 - 8 * i));
  values_.emplace_back(std::move(bytes));
  bytes_ += 8;
  return *this;
}

Status Params::fits() const {
  const std::string limit = std::to_string(kMaxBytes) + " bytes (1 GB)";
  if (longest_ > kMaxBytes) {
    return Error("store error: value too long: " + std::to_string(longest_) + " bytes, over the " +
                 limit + " PostgreSQL holds in one field");
  }
  if (bytes_ > kMaxBytes) {
    return Error("store error: record too long: its values come to " + std::to_string(bytes_) +
                 " bytes, over the " + limit + " one statement may send to PostgreSQL");
  }
  return ok_status();
}

Rows::Rows(const Libpq* api, PGresult* result)
    : api_(api), result_(result, [api](PGresult* r) { api->clear(r); }) {}

int Rows::size() const { return result_ ? api_->ntuples(result_.get()) : 0; }

bool Rows::is_null(int row, int col) const { return api_->getisnull(result_.get(), row, col) != 0; }

std::string_view Rows::text(int row, int col) const {
  return std::string_view(api_->getvalue(result_.get(), row, col),
                          static_cast<size_t>(api_->getlength(result_.get(), row, col)));
}

std::optional<std::string> Rows::optional_text(int row, int col) const {
  if (is_null(row, col)) return std::nullopt;
  return std::string(text(row, col));
}

int64_t Rows::integer(int row, int col) const {
  if (is_null(row, col)) return 0;
  const std::string_view bytes = text(row, col);
  uint64_t u = 0;
  for (unsigned char c : bytes) u = (u << 8) | c;
  // Sign-extend a smallint or an integer.
  if (bytes.size() > 0 && bytes.size() < 8 && (static_cast<unsigned char>(bytes[0]) & 0x80)) {
    u |= ~uint64_t{0} << (8 * bytes.size());
  }
  return static_cast<int64_t>(u);
}

int64_t Rows::affected() const {
  if (!result_) return 0;
  const char* n = api_->cmd_tuples(result_.get());
  return n != nullptr && *n != '\0' ? std::strtoll(n, nullptr, 10) : 0;
}

Database::Database(Options options, const Libpq* api) : options_(std::move(options)), api_(api) {
  LiveSet<Database>::add(this);
}

Database::~Database() {
  LiveSet<Database>::remove(this);
  std::lock_guard<std::mutex> lock(store::library_lock());
  close();
}

Result<std::shared_ptr<Database>> Database::open(Options options) {
  const std::string what = "open store " + options.display;
  auto fail = [&](const Error& e) { return Error(what + ": " + options.scrub(e.message())); };
  std::shared_ptr<Database> db;  // outlives the lock below, which its destructor takes
  Status opened = ok_status();
  {
    std::lock_guard<std::mutex> lock(store::library_lock());
    Result<const Libpq*> api = libpq();
    if (!api.ok()) return fail(api.error());
    db.reset(new Database(options, *api));
    opened = db->connect();  // closes the connection when it fails
  }
  if (!opened.ok()) return fail(opened.error());
  return db;
}

Status Database::connect() {
  close();
  PGconn* conn = api_->connectdb(options_.conninfo.c_str());
  if (conn == nullptr) return Error("store unreachable: out of memory");
  if (api_->status(conn) != CONNECTION_OK) {
    Error e("store unreachable: " + options_.scrub(trimmed(api_->error_message(conn))));
    api_->finish(conn);
    return e;
  }
  conn_ = conn;
  pid_ = ::getpid();
  // The server's notices (e.g. "schema already exists, skipping") are no
  // concern of the application's standard error.
  api_->set_notice_processor(conn_, [](void*, const char*) {}, nullptr);
  const std::string setup =
      "SET search_path TO " + quoted_identifier(options_.schema) +
      "; SET lock_timeout = " + std::to_string(options_.lock_timeout_ms) +
      "; SET statement_timeout = " + std::to_string(options_.statement_timeout_ms);
  PGresult* r = api_->exec(conn_, setup.c_str());
  const bool set = r != nullptr && api_->result_status(r) == PGRES_COMMAND_OK;
  std::string why = r != nullptr ? trimmed(api_->result_error_message(r)) : "out of memory";
  api_->clear(r);
  Status status = set ? migrate() : Status(Error("store error: " + options_.scrub(why)));
  if (status.ok() && api_->enter_pipeline_mode(conn_) != 1) {
    status = Error("store error: " + options_.scrub(trimmed(api_->error_message(conn_))));
  }
  if (!status.ok()) close();
  return status;
}

// In one transaction, under a lock of the schema's name (so that processes
// opening a new store at once take turns): reads the version and what the
// schema holds, refuses what is not ours, then migrates step by step.
Status Database::migrate() {
  const std::string& s = options_.schema;
  const std::string name = quoted_identifier(s);  // in SQL text; `s` in literals
  auto run = [&](const std::string& sql) -> Result<Rows> {
    PGresult* r = api_->exec(conn_, sql.c_str());
    if (r == nullptr) return Error("store error: out of memory");
    const ExecStatusType st = api_->result_status(r);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
      Error e("store error: " + options_.scrub(trimmed(api_->result_error_message(r))));
      api_->clear(r);
      return e;
    }
    return Rows(api_, r);
  };
  auto read_integer = [&](const Rows& rows, int col) -> int64_t {
    // Read in text form by PQexec.
    return rows.size() > 0 && !rows.is_null(0, col)
               ? std::strtoll(std::string(rows.text(0, col)).c_str(), nullptr, 10)
               : 0;
  };
  auto steps = [&]() -> Status {
    DOVEK_TRY(run("BEGIN"));
    DOVEK_TRY(run("SELECT pg_advisory_xact_lock(hashtext('dovek store schema " + s + "'))"));
    DOVEK_ASSIGN_OR_RETURN(
        Rows state, run("SELECT (SELECT count(*) FROM pg_class c JOIN pg_namespace n ON n.oid = "
                        "c.relnamespace WHERE n.nspname = '" +
                        s + "'), to_regclass('" + name + ".meta') IS NOT NULL"));
    const int64_t tables = read_integer(state, 0);
    const bool has_meta = state.size() > 0 && state.text(0, 1) == "t";
    int64_t version = 0;
    if (has_meta) {
      DOVEK_ASSIGN_OR_RETURN(Rows v, run("SELECT max(version) FROM " + name + ".meta"));
      version = read_integer(v, 0);
    }
    if (version > kSchemaVersion) {
      return Error("schema `" + s + "` is at version " + std::to_string(version) +
                   ", newer than this build supports (" + std::to_string(kSchemaVersion) + ")");
    }
    if (!has_meta && tables > 0) {
      return Error("schema `" + s + "` holds tables of another application");
    }
    if (version < kSchemaVersion) {
      DOVEK_TRY(run("CREATE SCHEMA IF NOT EXISTS " + name));
      for (; version < kSchemaVersion; ++version) {
        DOVEK_TRY(run(migration(static_cast<int>(version))));
      }
      DOVEK_TRY(run("UPDATE meta SET version = " + std::to_string(kSchemaVersion)));
    }
    DOVEK_TRY(run("COMMIT"));
    return ok_status();
  };
  Status status = steps();
  if (!status.ok() && conn_ != nullptr) api_->clear(api_->exec(conn_, "ROLLBACK"));
  return status;
}

void Database::close() noexcept {
  if (conn_ != nullptr && pid_ == ::getpid()) api_->finish(conn_);
  conn_ = nullptr;
  prepared_.clear();
}

void Database::abandon() noexcept {
  // Another process's handle: finishing it would end that process's session.
  conn_ = nullptr;
  prepared_.clear();
}

bool Database::dead_between_commands() const {
  // Between commands the server sends nothing unless it is ending the
  // session (a termination notice, or the socket's end at a restart).
  pollfd p{api_->socket(conn_), POLLIN, 0};
  return p.fd < 0 || ::poll(&p, 1, 0) != 0;
}

Status Database::ensure_connected() {
  if (conn_ != nullptr && pid_ != ::getpid()) abandon();
  if (conn_ != nullptr && (api_->status(conn_) != CONNECTION_OK || dead_between_commands())) {
    close();
  }
  if (conn_ != nullptr) return ok_status();
  return connect();
}

Status Database::begin(store::Access access) {
  bool expected = false;
  if (!busy_.compare_exchange_strong(expected, true)) {
    return Error("store closed: the process is exiting");
  }
  Status connected = ensure_connected();
  if (!connected.ok()) {
    busy_.store(false);
    return connected;
  }
  pending_.clear();
  locks_.clear();
  writing_ = access == store::Access::kWrite;
  in_transaction_ = true;
  used_results_ = false;
  ++serial_;
  queue(writing_ ? "BEGIN" : "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", Params());
  prefetch_rows_.resize(prefetch_sql_.size());
  for (size_t i = 0; i < prefetch_sql_.size(); ++i) {
    queue(prefetch_sql_[i], Params(), [this, i](const Rows& rows) { prefetch_rows_[i] = rows; });
  }
  return ok_status();
}

Status Database::commit() {
  queue(kCommit, Params());
  Status done = round_trip();
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
  pending_.clear();
  in_transaction_ = false;
  ++epoch_;
  if (conn_ != nullptr && pid_ == ::getpid() && api_->status(conn_) == CONNECTION_OK &&
      api_->transaction_status(conn_) != PQTRANS_IDLE) {
    // Also after a failed round trip, whose transaction the server keeps
    // open (aborted) until it is told to end it.
    in_transaction_ = true;
    queue(kRollback, Params());
    in_transaction_ = false;
    used_results_ = true;  // never sent twice
    if (!round_trip().ok()) close();
  }
  busy_.store(false);
}

void Database::queue(const char* sql, Params params, std::function<void(Rows&)> then) {
  pending_.push_back(Pending{sql, std::move(params), std::move(then)});
}

Result<Rows> Database::fetch(const char* sql, Params params) {
  Rows out;
  queue(sql, std::move(params), [&out](const Rows& rows) { out = rows; });
  DOVEK_TRY(round_trip());
  return out;
}

size_t Database::add_prefetch(const char* sql) {
  prefetch_sql_.push_back(sql);
  return prefetch_sql_.size() - 1;
}

Result<Rows> Database::prefetched(size_t slot) {
  if (prefetch_serial_ != serial_) DOVEK_TRY(round_trip());
  return prefetch_rows_[slot];
}

Error Database::lost_error(std::string_view what) const {
  std::string message = "store connection lost: ";
  message += what;
  return Error(options_.scrub(std::move(message)));
}

Error Database::statement_error(PGresult* result, bool& lost) const {
  const char* state = api_->result_error_field(result, PG_DIAG_SQLSTATE);
  const std::string_view code = state != nullptr ? state : "";
  const char* primary = api_->result_error_field(result, PG_DIAG_MESSAGE_PRIMARY);
  const std::string message =
      trimmed(primary != nullptr ? primary : api_->result_error_message(result));
  if (connection_gone(code) || api_->status(conn_) != CONNECTION_OK) {
    lost = true;
    return lost_error(message);
  }
  if (code == "55P03") {
    return Error("store busy: a record stayed locked by another connection for over " +
                 std::to_string(options_.lock_timeout_ms) + " ms (" + options_.scrub(message) +
                 ")");
  }
  if (code == "40P01") {
    return Error(
        "store busy: this command and another connection's waited for each other, and the "
        "server broke the deadlock by failing this one (" +
        options_.scrub(message) + ")");
  }
  if (code == "40001") {
    return Error(
        "store busy: another connection's change conflicted with this command, and the server "
        "failed it (" +
        options_.scrub(message) + ")");
  }
  if (code == "57014") {
    return Error("store timeout: a statement ran past statement_timeout_ms=" +
                 std::to_string(options_.statement_timeout_ms));
  }
  return Error("store error: " + options_.scrub(message));
}

Status Database::round_trip() {
  if (pending_.empty()) return ok_status();
  if (conn_ == nullptr) {
    pending_.clear();
    return lost_error("not connected");
  }
  bool commits = false;
  for (const Pending& p : pending_) {
    commits = commits || p.sql == kCommit;
    if (Status fits = p.params.fits(); !fits.ok()) {
      // Refused before anything of this round trip is sent: the command
      // fails and rolls back.
      pending_.clear();
      return fits;
    }
  }
  bool lost = false;
  Status status = send_and_read(lost);
  if (!status.ok() && lost && !used_results_ && !commits) {
    // Nothing of this transaction reached the engine, and nothing of it can
    // have committed: send it again on a fresh connection.
    close();
    lost = false;
    status = connect();
    if (status.ok()) status = send_and_read(lost);
  }
  if (!status.ok() && lost) {
    close();
    if (commits) {
      status = Error(status.error().message() +
                     "; the command's changes may or may not have been stored");
    }
  }
  pending_.clear();
  if (status.ok()) {
    used_results_ = true;
    prefetch_serial_ = serial_;
  }
  return status;
}

Status Database::send_and_read(bool& lost) {
  const size_t n = pending_.size();
  std::vector<const char*> preparing(n, nullptr);  // the name, when prepared here
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
  auto send_failed = [&]() {
    lost = true;
    return lost_error(trimmed(api_->error_message(conn_)));
  };
  for (size_t i = 0; i < n; ++i) {
    Pending& p = pending_[i];
    auto [it, fresh] = prepared_.try_emplace(p.sql);
    const int count = p.params.size();
    if (fresh) {
      it->second = std::to_string(next_name_++);
      it->second.insert(0, 1, 'd');  // not "d" + ...: GCC 12 warns falsely (-Wrestrict) on that
      preparing[i] = it->second.c_str();
      if (api_->send_prepare(conn_, it->second.c_str(), p.sql, count, nullptr) != 1) {
        prepared_.erase(it);
        return send_failed();
      }
    }
    values.assign(count, nullptr);
    lengths.assign(count, 0);
    formats.assign(count, 1);
    for (int k = 0; k < count; ++k) {
      const std::optional<std::string>& v = p.params.values_[k];
      if (v) {
        values[k] = v->data();
        lengths[k] = static_cast<int>(v->size());  // at most Params::kMaxBytes
      }
    }
    if (api_->send_query_prepared(conn_, it->second.c_str(), count, values.data(), lengths.data(),
                                  formats.data(), 1) != 1) {
      return send_failed();
    }
  }
  if (api_->pipeline_sync(conn_) != 1) return send_failed();

  std::optional<Error> failure;
  std::vector<Rows> rows(n);
  // The next result, or null when the connection broke (then lost is set).
  auto next = [&]() -> PGresult* {
    PGresult* r = api_->get_result(conn_);
    if (r == nullptr && !failure) {
      lost = true;
      failure = lost_error(trimmed(api_->error_message(conn_)));
    }
    return r;
  };
  auto end_of_command = [&]() {
    // Each command's results end with a null; anything else is a broken stream.
    if (PGresult* extra = api_->get_result(conn_)) {
      api_->clear(extra);
      lost = true;
      if (!failure) failure = lost_error("unexpected reply from the server");
    }
  };
  for (size_t i = 0; i < n && !lost; ++i) {
    if (preparing[i] != nullptr) {
      PGresult* r = next();
      if (r == nullptr) break;
      const ExecStatusType st = api_->result_status(r);
      if (st != PGRES_COMMAND_OK) {
        prepared_.erase(pending_[i].sql);
        if (st == PGRES_FATAL_ERROR && !failure) failure = statement_error(r, lost);
      }
      api_->clear(r);
      end_of_command();
      if (lost) break;
    }
    PGresult* r = next();
    if (r == nullptr) break;
    const ExecStatusType st = api_->result_status(r);
    if (st == PGRES_TUPLES_OK || st == PGRES_COMMAND_OK) {
      rows[i] = Rows(api_, r);
    } else {
      if (st == PGRES_FATAL_ERROR && !failure) failure = statement_error(r, lost);
      if (st != PGRES_PIPELINE_ABORTED && !failure) {
        failure = Error("store error: unexpected result");
      }
      api_->clear(r);
    }
    end_of_command();
  }
  if (!lost) {
    PGresult* sync = next();
    if (sync != nullptr) {
      if (api_->result_status(sync) != PGRES_PIPELINE_SYNC) {
        lost = true;
        if (!failure) failure = lost_error("unexpected reply from the server");
      }
      api_->clear(sync);
    }
  }
  if (failure) return *failure;
  for (size_t i = 0; i < n; ++i) {
    if (pending_[i].then) pending_[i].then(rows[i]);
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
    if (db->busy_.compare_exchange_strong(expected, true)) db->close();
    // busy_ stays set: begin() fails from now on
  });
}

}  // namespace dovek::postgres
