// SQL text built from a table's column list (domain/record_fields.h), so
// that a statement names the columns in the order the record is written and
// read. Statements are built once and kept for the process: Database caches
// a prepared statement by the address of its text.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "domain/record_fields.h"

namespace dovek::sqlite::sql {

using Names = std::span<const std::string_view>;

// "a, b, c".
std::string names(Names columns);
// "?first, ..., ?last".
std::string params(int first, int last);

// The statements of a table of records: each takes the key as ?1, and
// `put` the record's columns from ?2 on.
struct TableStatements {
  explicit TableStatements(const record_fields::Table& table);

  std::string get;     // the record's columns of one key
  std::string list;    // key and columns of every row, by key
  std::string put;     // inserts or replaces a row
  std::string remove;  // deletes one key's row
  std::string clear;   // deletes every row
};

}  // namespace dovek::sqlite::sql
