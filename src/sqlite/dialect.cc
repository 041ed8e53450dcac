// SQLite's side of the stores of sql/ (sql/driver.h): its upsert, a
// session's next gen, and how the skill table's versions are kept (a row's
// rowid, and a floor that removals raise past every version so far; see
// schema.cc).
#include <utility>

#include "sql/driver.h"
#include "sqlite/database.h"


namespace dovek::sqlite {
namespace {

constexpr const char* kRaiseFloor =
    "UPDATE counters SET value = max(value, ?1) + 1 WHERE name = 'skills_floor' RETURNING value";

// The table's version before a removal.
Result<int64_t> version_of_skills(Database& db) {
  DOVEK_ASSIGN_OR_RETURN(Rows rows, db.fetch(Dialect::kSkillVersions, sql::kNoParams));
  DOVEK_ASSIGN_OR_RETURN(bool row, rows.next());
  return row ? rows.integer(0) : int64_t{0};
}

// After rows were removed from the table at `version`: the floor, raised
// past it, is the table's new version.
Result<int64_t> raise_floor(Database& db, int64_t version) {
  DOVEK_ASSIGN_OR_RETURN(Rows rows,
                         db.fetch(kRaiseFloor, [version](Binder& p) { p.integer(version); }));
  DOVEK_ASSIGN_OR_RETURN(bool row, rows.next());
  return row ? rows.integer(0) : int64_t{-1};
}

}  // namespace

std::string Dialect::upsert(std::string_view table, sql::Names columns) {
  return "INSERT OR REPLACE INTO " + std::string(table) + " (key, " + sql::names(columns) +
         ") VALUES (" + sql::params(kMark, 1, 1 + static_cast<int>(columns.size())) + ")";
}

std::string Dialect::skill_put(sql::Names columns) {
  return "INSERT OR REPLACE INTO skills (rowid, key, " + sql::names(columns) +
         ") VALUES ((SELECT max(coalesce((SELECT max(rowid) FROM skills), 0), (SELECT value FROM "
         "counters WHERE name = 'skills_floor')) + 1), " +
         sql::params(kMark, 1, 1 + static_cast<int>(columns.size())) + ") RETURNING rowid";
}

std::string Dialect::skill_since(sql::Names columns) {
  return "SELECT key, " + sql::names(columns) + " FROM skills WHERE rowid > ?1";
}

Result<std::optional<int64_t>> Dialect::remove_skill(Database& db, std::string_view key) {
  DOVEK_ASSIGN_OR_RETURN(int64_t before, version_of_skills(db));
  DOVEK_ASSIGN_OR_RETURN(Rows gone, db.fetch("DELETE FROM skills WHERE key = ?1",
                                             [key](Binder& p) { p.text(key); }));
  if (gone.affected() == 0) return std::optional<int64_t>();
  DOVEK_ASSIGN_OR_RETURN(int64_t version, raise_floor(db, before));
  return std::optional<int64_t>(version);
}

Status Dialect::clear_skills(Database& db, const std::function<void(int64_t)>& then) {
  DOVEK_ASSIGN_OR_RETURN(int64_t before, version_of_skills(db));
  DOVEK_TRY(db.exec("DELETE FROM skills", sql::kNoParams));
  DOVEK_ASSIGN_OR_RETURN(int64_t version, raise_floor(db, before));
  then(version);
  return ok_status();
}

Result<int64_t> Database::next_gen() {
  DOVEK_ASSIGN_OR_RETURN(
      Rows rows,
      fetch("UPDATE counters SET value = value + 1 WHERE name = 'sessions' RETURNING value",
            sql::kNoParams));
  DOVEK_ASSIGN_OR_RETURN(bool row, rows.next());
  return row ? rows.integer(0) : int64_t{0};
}


}  // namespace dovek::sqlite
