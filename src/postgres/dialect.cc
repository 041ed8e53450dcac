// PostgreSQL's side of the stores of sql/ (sql/driver.h): its upsert, the
// advisory locks a writer takes, a session's next gen, the pipeline's pace, and how the skill
// table's versions are kept (a version column, and a floor that removals raise past every version
// so far; see schema.cc).
#include "postgres/database.h"

#include <unistd.h>

#include <memory>
#include <utility>

namespace dovek::postgres {
namespace {

constexpr const char* kLock = "SELECT pg_advisory_xact_lock($1::bigint)";
constexpr const char* kLockShared = "SELECT pg_advisory_xact_lock_shared($1::bigint)";
// The store shared, then a record (in one statement: the first lock of a
// writer).
constexpr const char* kLockFirst =
    "SELECT pg_advisory_xact_lock_shared($1::bigint), pg_advisory_xact_lock($2::bigint)";
constexpr const char* kLockFirstShared =
    "SELECT pg_advisory_xact_lock_shared($1::bigint), pg_advisory_xact_lock_shared($2::bigint)";
// Removals raise the floor past every version the table had before them
// (the main statement sees the table as it was before its DELETE).
constexpr const char* kRemove =
    "WITH gone AS (DELETE FROM skills WHERE key = $1 RETURNING 1) UPDATE counters SET value = "
    "greatest(value, (SELECT max(version) FROM skills)) + 1 WHERE name = 'skills_floor' AND "
    "EXISTS (SELECT 1 FROM gone) RETURNING value";
constexpr const char* kClear =
    "WITH gone AS (DELETE FROM skills RETURNING 1) UPDATE counters SET value = "
    "greatest(value, (SELECT max(version) FROM skills)) + 1 WHERE name = 'skills_floor' "
    "RETURNING value";

// Statements queued before a round trip is forced while writing many
// messages: the pipeline's replies must not fill the socket unread.
constexpr size_t kBatch = 256;

// "a = EXCLUDED.a, b = EXCLUDED.b": an upsert's update of every column.
std::string excluded(sql::Names columns) {
  std::string out;
  for (std::string_view c : columns) {
    if (!out.empty()) out += ", ";
    out.append(c).append(" = EXCLUDED.").append(c);
  }
  return out;
}

}  // namespace

int64_t lock_key(std::string_view schema, std::string_view table, std::string_view key) {
  uint64_t h = 14695981039346656037ull;  // FNV-1a
  auto mix = [&h](std::string_view s) {
    for (unsigned char c : s) {
      h ^= c;
      h *= 1099511628211ull;
    }
    h ^= 0xff;  // a byte no UTF-8 text holds, between the parts
    h *= 1099511628211ull;
  };
  mix(schema);
  mix(table);
  mix(key);
  return static_cast<int64_t>(h);
}

std::string Dialect::upsert(std::string_view table, sql::Names columns) {
  return "INSERT INTO " + std::string(table) + " (key, " + sql::names(columns) + ") VALUES (" +
         sql::params(kMark, 1, 1 + static_cast<int>(columns.size())) +
         ") ON CONFLICT (key) DO UPDATE SET " + excluded(columns);
}

std::string Dialect::key_literal(std::string_view key) {
  return "'" + std::string(key) + "'::bytea";
}

std::string Dialect::skill_put(sql::Names columns) {
  return "INSERT INTO skills (key, version, " + sql::names(columns) +
         ") VALUES ($1, greatest((SELECT max(version) FROM skills), (SELECT value FROM counters "
         "WHERE name = 'skills_floor')) + 1, " +
         sql::params(kMark, 2, 1 + static_cast<int>(columns.size())) +
         ") ON CONFLICT (key) DO UPDATE SET version = EXCLUDED.version, " + excluded(columns) +
         " RETURNING version";
}

// A range, so that the generic plan scans the version index (see
// kSelectMessages).
std::string Dialect::skill_since(sql::Names columns) {
  return "SELECT key, " + sql::names(columns) +
         " FROM skills WHERE version > $1 AND version <= 9223372036854775807";
}

Result<std::optional<int64_t>> Dialect::remove_skill(Database& db, std::string_view key) {
  DOVEK_ASSIGN_OR_RETURN(Rows r, db.fetch(kRemove, Params().text(key)));
  DOVEK_ASSIGN_OR_RETURN(bool row, r.next());
  if (!row) return std::optional<int64_t>();
  return std::optional<int64_t>(r.integer(0));
}

Status Dialect::clear_skills(Database& db, const std::function<void(int64_t)>& then) {
  db.queue(kClear, Params(), [then](Rows& r) {
    Result<bool> row = r.next();
    then(row.ok() && *row ? r.integer(0) : -1);
  });
  return ok_status();
}

void Database::take(std::string_view table, std::string_view key, bool exclusive) {
  if (!writing_ || (!locks_.empty() && locks_.front().second)) return;
  const int64_t k = lock_key(options_.schema, table, key);
  if (locks_.empty()) {
    const int64_t store = lock_key(options_.schema, "", "");
    locks_.emplace_back(store, false);
    locks_.emplace_back(k, exclusive);
    queue(exclusive ? kLockFirst : kLockFirstShared, Params().integer(store).integer(k));
    return;
  }
  for (const auto& [held, held_exclusive] : locks_) {
    if (held == k && (held_exclusive || !exclusive)) return;
  }
  locks_.emplace_back(k, exclusive);
  queue(exclusive ? kLock : kLockShared, Params().integer(k));
}

void Database::lock_store() {
  if (!writing_ || (!locks_.empty() && locks_.front().second)) return;
  const int64_t store = lock_key(options_.schema, "", "");
  locks_.insert(locks_.begin(), {store, true});
  queue(kLock, Params().integer(store));
}

Status Database::pace(size_t queued) {
  if (queued % kBatch == 0) DOVEK_TRY(fetch("SELECT 1", Params()));
  return ok_status();
}

Result<int64_t> Database::next_gen() {
  if (rng_pid_ != ::getpid()) {
    std::random_device seed;
    rng_.seed((uint64_t{seed()} << 32) ^ seed() ^ static_cast<uint64_t>(::getpid()));
    rng_pid_ = ::getpid();
  }
  return static_cast<int64_t>(rng_() >> 1);
}


}  // namespace dovek::postgres
