#include "sql/sql_text.h"

namespace dovek::sql {

std::string names(Names columns) {
  std::string out;
  for (std::string_view c : columns) {
    if (!out.empty()) out += ", ";
    out += c;
  }
  return out;
}

std::vector<std::string_view> led_by(std::string_view first, Names rest) {
  std::vector<std::string_view> out;
  out.reserve(1 + rest.size());
  out.push_back(first);
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

std::string params(char mark, int first, int last) {
  std::string out;
  for (int i = first; i <= last; ++i) {
    if (i != first) out += ", ";
    out += mark;
    out += std::to_string(i);
  }
  return out;
}

TableStatements table_statements(std::string_view table, Names columns, char mark,
                                 std::string upsert) {
  const std::string t(table);
  const std::string cols = names(columns);
  const std::string key = std::string(" WHERE key = ") + mark + "1";
  return TableStatements{
      .get = "SELECT " + cols + " FROM " + t + key,
      .list = "SELECT key, " + cols + " FROM " + t + " ORDER BY key",
      .keys = "SELECT key FROM " + t + " ORDER BY key",
      .put = std::move(upsert),
      .remove = "DELETE FROM " + t + key,
      .clear = "DELETE FROM " + t,
  };
}

}  // namespace dovek::sql
