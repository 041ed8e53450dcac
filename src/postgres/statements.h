// The PostgreSQL text of statements built from a table's column list
// (store/sql_text.h). Statements are built once and kept for the process:
// Database names a prepared statement by the address of its text.
#pragma once

#include <string>
#include <string_view>

#include "domain/record_fields.h"
#include "store/sql_text.h"

namespace dovek::postgres::sql {

using store::sql::led_by;
using store::sql::names;
using store::sql::Names;
using store::sql::TableStatements;

// "$first, ..., $last".
inline std::string params(int first, int last) { return store::sql::params('$', first, last); }

// "a = EXCLUDED.a, b = EXCLUDED.b": an upsert's update of every column.
inline std::string excluded(Names columns) {
  std::string out;
  for (std::string_view c : columns) {
    if (!out.empty()) out += ", ";
    out.append(c).append(" = EXCLUDED.").append(c);
  }
  return out;
}

// Writes the row of the key (parameter 1) with `columns` from parameter 2
// on: inserts it, or updates every column of the one there.
inline std::string put(std::string_view table, Names columns) {
  return "INSERT INTO " + std::string(table) + " (key, " + names(columns) + ") VALUES (" +
         params(1, 1 + static_cast<int>(columns.size())) + ") ON CONFLICT (key) DO UPDATE SET " +
         excluded(columns);
}

// The statements of a table of records; `put` inserts the key's row or
// updates every column of the one there.
inline TableStatements table_statements(const record_fields::Table& table) {
  TableStatements s = store::sql::table_statements(table.name, table.columns, '$');
  s.put = put(table.name, table.columns);
  return s;
}

}  // namespace dovek::postgres::sql
