#include "sql/skill_store.h"

namespace dovek::sql {

SkillStatements::SkillStatements(char mark, std::string put, std::string select_since)
    : select("SELECT " + names(kSkillColumns) + " FROM skills WHERE key = " + mark + "1"),
      select_all("SELECT key, " + names(kSkillColumns) + " FROM skills ORDER BY key"),
      select_since(std::move(select_since)),
      put(std::move(put)) {}

}  // namespace dovek::sql
