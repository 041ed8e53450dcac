// SQL text built from a table's column list, for the database stores: each
// store keeps a record as a row under a `key` column, and names its columns
// from one list so that statements and the record's read/write order agree.
// What differs between databases (the parameter mark, how a row is
// replaced) is given by the caller.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dovek::store::sql {

using Names = std::span<const std::string_view>;

// "a, b, c".
inline std::string names(Names columns) {
  std::string out;
  for (std::string_view c : columns) {
    if (!out.empty()) out += ", ";
    out += c;
  }
  return out;
}

// `first`, then `rest`: a row's columns led by one the store keeps itself.
inline std::vector<std::string_view> led_by(std::string_view first, Names rest) {
  std::vector<std::string_view> out;
  out.reserve(1 + rest.size());
  out.push_back(first);
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

// The parameters numbered first to last, marked with `mark`: "?1, ?2".
inline std::string params(char mark, int first, int last) {
  std::string out;
  for (int i = first; i <= last; ++i) {
    if (i != first) out += ", ";
    out += mark;
    out += std::to_string(i);
  }
  return out;
}

// The statements of a table of records, one row each under `key`: each takes
// the key as parameter 1, and `put` the record's columns from 2 on.
struct TableStatements {
  std::string get;     // the record's columns of one key
  std::string list;    // key and columns of every row, by key
  std::string put;     // inserts or replaces a row
  std::string remove;  // deletes one key's row
  std::string clear;   // deletes every row
};

// All but `put`, which the caller builds with its database's syntax for
// replacing a row.
inline TableStatements table_statements(std::string_view table, Names columns, char mark) {
  const std::string t(table);
  const std::string cols = names(columns);
  const std::string key = std::string(" WHERE key = ") + mark + "1";
  return TableStatements{
      .get = "SELECT " + cols + " FROM " + t + key,
      .list = "SELECT key, " + cols + " FROM " + t + " ORDER BY key",
      .put = {},
      .remove = "DELETE FROM " + t + key,
      .clear = "DELETE FROM " + t,
  };
}

}  // namespace dovek::store::sql
