// The SQLite text of statements built from a table's column list
// (store/sql_text.h). Statements are built once and kept for the process:
// Database caches a prepared statement by the address of its text.
#pragma once

#include <string>

#include "domain/record_fields.h"
#include "store/sql_text.h"

namespace dovek::sqlite::sql {

using store::sql::names;
using store::sql::Names;
using store::sql::TableStatements;

// "?first, ..., ?last".
inline std::string params(int first, int last) { return store::sql::params('?', first, last); }

// The statements of a table of records; `put` replaces the key's row.
inline TableStatements table_statements(const record_fields::Table& table) {
  TableStatements s = store::sql::table_statements(table.name, table.columns, '?');
  s.put = "INSERT OR REPLACE INTO " + std::string(table.name) + " (key, " + names(table.columns) +
          ") VALUES (" + params(1, 1 + static_cast<int>(table.columns.size())) + ")";
  return s;
}

}  // namespace dovek::sqlite::sql
