// Skills: one row each, and the whole table cached in the process as the
// listing the catalog is a view of. The cache is revalidated per listing
// against the table's version (one read), and brought up to date by reading
// only the rows written since (an indexed range), so a turn costs the same at
// 10,000 stored skills as at 10, also when another connection saves skills
// between turns. Only a removal (reset) makes caches read the whole table
// again (versioned_cache.h).
//
// How versions are kept is the driver's (D::Dialect): kSkillVersions reads
// the table's version and floor; skill_put(columns) writes a row under a
// version one above every version so far and returns it; skill_since(columns)
// reads the rows above a version; remove_skill(db, key) and
// clear_skills(db, then) remove rows and raise the floor, giving the table's
// new version.
//
// Where the driver has record locks, writers of skills take one lock for the
// table, so versions are handed out and committed in order and a reader
// never sees a version before a lower one commits; commands that write other
// records and read the catalog hold the same lock shared.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sql/driver.h"
#include "sql/record_fields.h"
#include "sql/versioned_cache.h"
#include "store/repository.h"

namespace dovek::sql {

// The statements that name a skill's columns, built once per dialect.
struct SkillStatements {
  SkillStatements(char mark, std::string put, std::string select_since);

  std::string select;
  std::string select_all;
  std::string select_since;
  std::string put;
};

template <Driver D>
class SkillStore final : public store::Repository<skill::Skill> {
 public:
  using Rows = typename D::Rows;

  explicit SkillStore(std::shared_ptr<D> db) : db_(std::move(db)) {}

  Result<std::optional<skill::Skill>> get(std::string_view key) const override {
    lock();
    DOVEK_ASSIGN_OR_RETURN(Rows rows, db_->fetch(statements().select.c_str(),
                                                 [key](auto& p) { p.text(key); }));
    DOVEK_ASSIGN_OR_RETURN(bool row, rows.next());
    if (!row) return std::optional<skill::Skill>();
    return std::optional<skill::Skill>(read(rows, 0));
  }

  // The cache, brought up to date: as it is when no skill changed, with the
  // rows written since when some were, read whole after a removal.
  Result<List> list() const override {
    // A writer holds the table shared from before it reads the version to
    // its commit, so that no save commits between its catalog and its own
    // writes: a turn then answers as if it ran wholly before or after every
    // save.
    db_->lock_shared("skills", "");
    int64_t version = 0, floor = 0;
    {
      DOVEK_ASSIGN_OR_RETURN(Rows v, db_->fetch(D::Dialect::kSkillVersions, kNoParams));
      DOVEK_ASSIGN_OR_RETURN(bool row, v.next());
      if (row) version = v.integer(0), floor = v.integer(1);
    }
    const uint64_t epoch = db_->rollback_epoch();
    if (cache_.current(version, epoch)) return cache_.list();
    const bool catch_up = cache_.catch_up(version, floor, epoch);
    const int64_t since = cache_.version();
    DOVEK_ASSIGN_OR_RETURN(Rows rows, catch_up
                                          ? db_->fetch(statements().select_since.c_str(),
                                                       [since](auto& p) { p.integer(since); })
                                          : db_->fetch(statements().select_all.c_str(), kNoParams));
    List fresh = cache_.begin_read(catch_up);
    for (;;) {
      DOVEK_ASSIGN_OR_RETURN(bool row, rows.next());
      if (!row) break;
      fresh.put(rows.text(0), read(rows, 1));
    }
    return cache_.replace(std::move(fresh), version, epoch);
  }

  Status put(std::string_view key, skill::Skill record) override {
    lock();
    const std::string tools = tools_json(record.suggested_tools());
    // The write, and what applies it to the cache once its version is
    // known: the row is bound from the record the latter keeps.
    Apply apply{this, std::string(key), std::move(record)};
    auto bind = [&](auto& p) {
      p.text(apply.key);
      write(p, apply.record, tools);
    };
    return db_->exec(statements().put.c_str(), bind, std::move(apply));
  }

  Result<bool> remove(std::string_view key) override {
    lock();
    DOVEK_ASSIGN_OR_RETURN(std::optional<int64_t> version, D::Dialect::remove_skill(*db_, key));
    if (!version) return false;
    if (follows(*version)) cache_.mutable_list().remove(key);
    return true;
  }

  Status replace_all(std::vector<std::pair<std::string, skill::Skill>> pairs) override {
    db_->lock_store();
    DOVEK_TRY(D::Dialect::clear_skills(*db_, [this](int64_t version) {
      if (follows(version)) cache_.mutable_list() = List();
    }));
    for (auto& [key, record] : pairs) DOVEK_TRY(put(key, std::move(record)));
    return ok_status();
  }

 private:
  static const SkillStatements& statements() {
    static const SkillStatements s(D::Dialect::kMark, D::Dialect::skill_put(kSkills.columns),
                                   D::Dialect::skill_since(kSkills.columns));
    return s;
  }

  // Applies a put to the cache when the version it got follows the cache's.
  struct Apply {
    SkillStore* store;
    std::string key;
    skill::Skill record;

    void operator()(Rows& r) {
      Result<bool> row = r.next();
      if (store->follows(row.ok() && *row ? r.integer(0) : -1)) {
        store->cache_.mutable_list().put(key, std::move(record));
      }
    }
  };

  static skill::Skill read(const Rows& rows, int col) {
    Columns<Rows> columns(rows, col);
    return read_skill(columns);
  }

  // Writers take the table's lock before they read or write a skill; once a
  // transaction holds it, further requests are free on the server.
  void lock() const { db_->lock("skills", ""); }

  bool follows(int64_t version) { return cache_.follows(version, db_->rollback_epoch()); }

  std::shared_ptr<D> db_;
  mutable VersionedCache<skill::Skill> cache_;
};

}  // namespace dovek::sql
