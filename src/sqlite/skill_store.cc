// Skills: one row each, and the whole table cached in the process as the
// listing the catalog is a view of. The cache is revalidated per listing
// against the `skills` change counter (one read), and brought up to date by
// reading only the rows written since (an indexed range), so a turn costs
// the same at 10,000 stored skills as at 10, also when another connection
// saves skills between turns. Only a removal (reset) makes caches read the
// whole table again.
#include <utility>
#include <vector>

#include "domain/record_fields.h"
#include "sqlite/statements.h"
#include "sqlite/stores.h"
#include "store/versioned_cache.h"

namespace dovek::sqlite {
namespace {

skill::Skill read_skill(const Stmt& s, int c) {
  Columns columns(s, c);
  return record_fields::read_skill(columns);
}

// The statements that name a skill's columns, built once.
struct SkillStatements {
  const std::string columns = sql::names(record_fields::kSkills.columns);
  const std::string select = "SELECT " + columns + " FROM skills WHERE key = ?1";
  const std::string select_all = "SELECT key, " + columns + " FROM skills ORDER BY key";
  const std::string select_since = "SELECT key, " + columns + " FROM skills WHERE rowid > ?1";
  // The row's rowid (its version) is one above every version so far.
  const std::string put =
      "INSERT OR REPLACE INTO skills (rowid, key, " + columns +
      ") VALUES ((SELECT max(coalesce((SELECT max(rowid) FROM skills), 0), (SELECT value FROM "
      "counters WHERE name = 'skills_floor')) + 1), " +
      sql::params(1, 1 + static_cast<int>(record_fields::kSkills.columns.size())) +
      ") RETURNING rowid";
};

const SkillStatements& statements() {
  static const SkillStatements s;
  return s;
}

// The version of the table and its floor (see schema.cc).
constexpr const char* kVersions =
    "SELECT max(coalesce((SELECT max(rowid) FROM skills), 0), f.value), f.value "
    "FROM counters f WHERE f.name = 'skills_floor'";
constexpr const char* kRaiseFloor =
    "UPDATE counters SET value = max(value, ?1) + 1 WHERE name = 'skills_floor' RETURNING value";

class SkillStore final : public store::Repository<skill::Skill> {
 public:
  explicit SkillStore(std::shared_ptr<Database> db) : db_(std::move(db)) {}

  Result<std::optional<skill::Skill>> get(std::string_view key) const override {
    DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(statements().select.c_str()));
    s.bind(1, key);
    DOVEK_ASSIGN_OR_RETURN(bool row, s.step());
    if (!row) return std::optional<skill::Skill>();
    return std::optional<skill::Skill>(read_skill(s, 0));
  }

  // The cache, brought up to date: as it is when no skill changed, with the
  // rows written since when some were, read whole after a removal.
  Result<List> list() const override {
    DOVEK_ASSIGN_OR_RETURN(Versions v, versions());
    const uint64_t epoch = db_->rollback_epoch();
    if (cache_.current(v.version, epoch)) return cache_.list();
    const bool catch_up = cache_.catch_up(v.version, v.floor, epoch);
    DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(catch_up ? statements().select_since.c_str()
                                                         : statements().select_all.c_str()));
    if (catch_up) s.bind(1, cache_.version());
    List fresh = cache_.begin_read(catch_up);
    for (;;) {
      DOVEK_ASSIGN_OR_RETURN(bool row, s.step());
      if (!row) break;
      fresh.put(s.text(0), read_skill(s, 1));
    }
    return cache_.replace(std::move(fresh), v.version, epoch);
  }

  Status put(std::string_view key, skill::Skill record) override {
    const std::string tools = record_fields::tools_json(record.suggested_tools());
    int64_t version = 0;
    {
      DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(statements().put.c_str()));
      s.bind(1, key);
      Binder columns(s, 2);
      record_fields::write(columns, record, tools);
      DOVEK_ASSIGN_OR_RETURN(bool row, s.step());
      version = row ? s.integer(0) : -1;
    }
    if (follows(version)) cache_.mutable_list().put(key, std::move(record));
    return ok_status();
  }

  Result<bool> remove(std::string_view key) override {
    DOVEK_ASSIGN_OR_RETURN(Versions before, versions());
    int64_t removed = 0;
    {
      DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare("DELETE FROM skills WHERE key = ?1"));
      s.bind(1, key);
      DOVEK_TRY(s.run());
      removed = db_->changes();
    }
    if (removed == 0) return false;
    DOVEK_ASSIGN_OR_RETURN(int64_t version, raise_floor(before.version));
    if (follows(version)) cache_.mutable_list().remove(key);
    return true;
  }

  Status replace_all(std::vector<std::pair<std::string, skill::Skill>> pairs) override {
    DOVEK_ASSIGN_OR_RETURN(Versions before, versions());
    {
      DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare("DELETE FROM skills"));
      DOVEK_TRY(s.run());
    }
    DOVEK_ASSIGN_OR_RETURN(int64_t version, raise_floor(before.version));
    if (follows(version)) cache_.mutable_list() = List();
    for (auto& [key, record] : pairs) DOVEK_TRY(put(key, std::move(record)));
    return ok_status();
  }

 private:
  struct Versions {
    int64_t version = 0;
    int64_t floor = 0;
  };

  Result<Versions> versions() const {
    DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(kVersions));
    DOVEK_ASSIGN_OR_RETURN(bool row, s.step());
    if (!row) return Versions{};
    return Versions{s.integer(0), s.integer(1)};
  }

  // After rows were removed from the table at `version`: the floor, raised
  // past it, is the table's new version.
  Result<int64_t> raise_floor(int64_t version) {
    DOVEK_ASSIGN_OR_RETURN(Stmt s, db_->prepare(kRaiseFloor));
    s.bind(1, version);
    DOVEK_ASSIGN_OR_RETURN(bool row, s.step());
    return row ? s.integer(0) : int64_t{-1};
  }

  bool follows(int64_t version) { return cache_.follows(version, db_->rollback_epoch()); }

  std::shared_ptr<Database> db_;
  mutable store::VersionedCache<skill::Skill> cache_;
};

}  // namespace

Handle<skill::Skill> skill_store(std::shared_ptr<Database> db) {
  return std::make_shared<SkillStore>(std::move(db));
}

}  // namespace dovek::sqlite
