// SQL text built from a table's column list, for the database stores: each
// store keeps a record as a row under a `key` column, and names its columns
// from one list so that statements and the record's read/write order agree.
// What differs between databases (the parameter mark, how a row is
// replaced) comes from the driver (sql/driver.h).
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dovek::sql {

using Names = std::span<const std::string_view>;

// "a, b, c".
std::string names(Names columns);

// `first`, then `rest`: a row's columns led by one the store keeps itself.
std::vector<std::string_view> led_by(std::string_view first, Names rest);

// The parameters numbered first to last, marked with `mark`: "?1, ?2".
std::string params(char mark, int first, int last);

// The statements of a table of records, one row each under `key`: each takes
// the key as parameter 1, and `put` the record's columns from 2 on.
struct TableStatements {
  std::string get;     // the record's columns of one key
  std::string list;    // key and columns of every row, by key
  std::string keys;    // the key of every row, in order
  std::string put;     // inserts or replaces a row (`upsert`)
  std::string remove;  // deletes one key's row
  std::string clear;   // deletes every row
};

TableStatements table_statements(std::string_view table, Names columns, char mark,
                                 std::string upsert);

}  // namespace dovek::sql
