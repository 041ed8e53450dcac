// The SQLite text of statements built from a table's column list
// (store/sql_text.h). Statements are built once and kept for the process:
// Database caches a prepared statement by the address of its text.
#pragma once

#include <string>
#include <string_view>

#include "domain/record_fields.h"
#include "store/sql_text.h"

namespace dovek::sqlite::sql {

using store::sql::led_by;
using store::sql::names;
using store::sql::Names;
using store::sql::TableStatements;

// "?first, ..., ?last".
inline std::string params(int first, int last) { return store::sql::params('?', first, last); }

// Writes the row of the key (parameter 1) with `columns` from parameter 2
// on, replacing the key's row.
inline std::string put(std::string_view table, Names columns) {
  return "INSERT OR REPLACE INTO " + std::string(table) + " (key, " + names(columns) +
         ") VALUES (" + params(1, 1 + static_cast<int>(columns.size())) + ")";
}

// The statements of a table of records; `put` replaces the key's row.
inline TableStatements table_statements(const record_fields::Table& table) {
  TableStatements s = store::sql::table_statements(table.name, table.columns, '?');
  s.put = put(table.name, table.columns);
  return s;
}

}  // namespace dovek::sqlite::sql
