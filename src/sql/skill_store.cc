#include "sql/skill_store.h"

namespace dovek::sql {

SkillStatements::SkillStatements(char mark, std::string put, std::string select_since)
    : select("SELECT " + names(kSkills.columns) + " FROM skills WHERE key = " + mark + "1"),
      select_all("SELECT key, " + names(kSkills.columns) + " FROM skills ORDER BY key"),
      select_since(std::move(select_since)),
      put(std::move(put)) {}

}  // namespace dovek::sql
