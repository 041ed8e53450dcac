#include "sqlite/statements.h"

namespace dovek::sqlite::sql {

std::string names(Names columns) {
  std::string out;
  for (std::string_view c : columns) {
    if (!out.empty()) out += ", ";
    out += c;
  }
  return out;
}

std::string params(int first, int last) {
  std::string out;
  for (int i = first; i <= last; ++i) {
    if (i != first) out += ", ";
    out += '?';
    out += std::to_string(i);
  }
  return out;
}

TableStatements::TableStatements(const record_fields::Table& table) {
  const std::string t(table.name);
  const std::string cols = names(table.columns);
  const int n = static_cast<int>(table.columns.size());
  get = "SELECT " + cols + " FROM " + t + " WHERE key = ?1";
  list = "SELECT key, " + cols + " FROM " + t + " ORDER BY key";
  put = "INSERT OR REPLACE INTO " + t + " (key, " + cols + ") VALUES (" + params(1, n + 1) + ")";
  remove = "DELETE FROM " + t + " WHERE key = ?1";
  clear = "DELETE FROM " + t;
}

}  // namespace dovek::sqlite::sql
