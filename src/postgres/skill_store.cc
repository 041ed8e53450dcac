// Skills: one row each, and the whole table cached in the process as the
// listing the catalog is a view of. The cache is revalidated per listing
// against the table's version (one indexed read), and brought up to date by reading only the rows
// written since (an indexed range), so a turn costs the same at 10,000 stored skills as at 10, also
// when another host saves skills between turns. Only a removal (reset) makes caches read the whole
// table again.
//
// Writers of skills take one lock for the table, so versions are handed out
// and committed in order and a reader never sees a version before a lower
// one commits; commands that write other records and read the catalog hold
// the same lock shared.
#include <utility>
#include <vector>

#include "domain/record_fields.h"
#include "postgres/statements.h"
#include "postgres/stores.h"
#include "store/versioned_cache.h"

namespace dovek::postgres {
namespace {

skill::Skill read_skill(const Rows& r, int i, int c) {
  Columns columns(r, i, c);
  return record_fields::read_skill(columns);
}

// The statements that name a skill's columns, built once.
struct SkillStatements {
  const sql::Names columns = record_fields::kSkills.columns;
  const std::string select = "SELECT " + sql::names(columns) + " FROM skills WHERE key = $1";
  const std::string select_all = "SELECT key, " + sql::names(columns) + " FROM skills ORDER BY key";
  // A range, so that the generic plan scans the version index (see
  // kSelectMessages in session_store.cc).
  const std::string select_since = "SELECT key, " + sql::names(columns) +
                                   " FROM skills WHERE version > $1 AND version <= "
                                   "9223372036854775807";
  // The row's version is one above every version so far.
  const std::string put =
      "INSERT INTO skills (key, version, " + sql::names(columns) +
      ") VALUES ($1, greatest((SELECT max(version) FROM skills), (SELECT value FROM counters "
      "WHERE name = 'skills_floor')) + 1, " +
      sql::params(2, 1 + static_cast<int>(columns.size())) +
      ") ON CONFLICT (key) DO UPDATE SET version = EXCLUDED.version, " + sql::excluded(columns) +
      " RETURNING version";
};

const SkillStatements& statements() {
  static const SkillStatements s;
  return s;
}

// The version of the table, and its floor (see schema.cc).
constexpr const char* kVersions =
    "SELECT greatest((SELECT max(version) FROM skills), value), value FROM counters "
    "WHERE name = 'skills_floor'";
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

class SkillStore final : public store::Repository<skill::Skill> {
 public:
  explicit SkillStore(std::shared_ptr<Database> db) : db_(std::move(db)) {}

  Result<std::optional<skill::Skill>> get(std::string_view key) const override {
    lock();
    DOVEK_ASSIGN_OR_RETURN(Rows rows, db_->fetch(statements().select.c_str(), Params().text(key)));
    if (rows.size() == 0) return std::optional<skill::Skill>();
    return std::optional<skill::Skill>(read_skill(rows, 0, 0));
  }

  // The cache, brought up to date: as it is when no skill changed, with the
  // rows written since when some were, read whole after a removal.
  Result<List> list() const override {
    // A writer holds the table shared from before it reads the version to
    // its commit, so that no save commits between its catalog and its own
    // writes: a turn then answers as if it ran wholly before or after every
    // save.
    db_->lock("skills", "", Database::Lock::Shared);
    DOVEK_ASSIGN_OR_RETURN(Rows v, db_->fetch(kVersions, Params()));
    const int64_t version = v.size() > 0 ? v.integer(0, 0) : 0;
    const int64_t floor = v.size() > 0 ? v.integer(0, 1) : 0;
    const uint64_t epoch = db_->rollback_epoch();
    if (cache_.current(version, epoch)) return cache_.list();
    const bool catch_up = cache_.catch_up(version, floor, epoch);
    DOVEK_ASSIGN_OR_RETURN(Rows rows, catch_up
                                          ? db_->fetch(statements().select_since.c_str(),
                                                       Params().integer(cache_.version()))
                                          : db_->fetch(statements().select_all.c_str(), Params()));
    List fresh = cache_.begin_read(catch_up);
    for (int i = 0; i < rows.size(); ++i) fresh.put(rows.text(i, 0), read_skill(rows, i, 1));
    return cache_.replace(std::move(fresh), version, epoch);
  }

  Status put(std::string_view key, skill::Skill record) override {
    lock();
    Params p;
    p.text(key);
    record_fields::write(p, record, record_fields::tools_json(record.suggested_tools()));
    std::string kept(key);
    db_->queue(statements().put.c_str(), std::move(p),
               [this, kept = std::move(kept), record = std::move(record)](const Rows& r) mutable {
                 if (follows(r.size() > 0 ? r.integer(0, 0) : -1)) {
                   cache_.mutable_list().put(kept, std::move(record));
                 }
               });
    return ok_status();
  }

  Result<bool> remove(std::string_view key) override {
    lock();
    DOVEK_ASSIGN_OR_RETURN(Rows r, db_->fetch(kRemove, Params().text(key)));
    if (r.size() == 0) return false;
    if (follows(r.integer(0, 0))) cache_.mutable_list().remove(key);
    return true;
  }

  Status replace_all(std::vector<std::pair<std::string, skill::Skill>> pairs) override {
    db_->lock_store();
    db_->queue(kClear, Params(), [this](const Rows& r) {
      if (follows(r.size() > 0 ? r.integer(0, 0) : -1)) cache_.mutable_list() = List();
    });
    for (auto& [key, record] : pairs) DOVEK_TRY(put(key, std::move(record)));
    return ok_status();
  }

 private:
  // Writers take the table's lock before they read or write a skill; once a
  // transaction holds it, further requests are free on the server.
  void lock() const { db_->lock("skills", ""); }

  bool follows(int64_t version) { return cache_.follows(version, db_->rollback_epoch()); }

  std::shared_ptr<Database> db_;
  mutable store::VersionedCache<skill::Skill> cache_;
};

}  // namespace

Handle<skill::Skill> skill_store(std::shared_ptr<Database> db) {
  return std::make_shared<SkillStore>(std::move(db));
}

}  // namespace dovek::postgres
