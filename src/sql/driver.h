// The driver of a database under the stores of sql/: what differs between
// SQLite and PostgreSQL, and nothing else. The stores (session_store.h,
// skill_store.h, table_store.h) are templates over it, so every call below
// is a direct, inlinable one.
//
// A driver D is the database connection class itself, with:
//   D::kPipelined         whether statements whose results are not needed at
//                         once wait for the next round trip (PostgreSQL) or
//                         run at once (SQLite)
//   D::Rows               a statement's rows: next() steps to the next row
//                         (Result<bool>), then text/optional_text/integer/
//                         is_null(col) read it; affected() is the number of
//                         rows a write changed
//   D::Dialect            the statement text that differs: kMark (the
//                         parameter mark), upsert(table, columns), and the
//                         skill table's versions (see skill_store.h)
//   exec(sql, bind)       runs or queues `sql`, its parameters given by
//                         bind(sink) (sink.text(...).integer(...), in order)
//   exec(sql, bind, then) the same; then(rows) sees its rows, at once or at
//                         the next round trip (so `then` owns what it needs)
//   fetch(sql, bind)      runs `sql` (with whatever is queued) and returns
//                         its rows, stepped to before the first
//   lock(table, key), lock_shared(table, key)
//                         a writer's lock on a record (or a table, key ""),
//                         taken before it is read or written; free where the
//                         writer holds the whole database (SQLite)
//   lock_store()          a writer's lock on every record (before a command
//                         rewrites whole tables), in place of record locks
//   pace(queued)          called after each of many queued statements, so a
//                         pipeline's replies never fill the socket unread
//   next_gen()            a session row's fresh `gen` (see session_store.h)
//   transaction_serial(), rollback_epoch()   (store caches, see row_cache.h)
// and, when kPipelined, add_prefetch(sql)/prefetched(slot) for a row read
// with every transaction's first round trip.
//
// Every statement text handed to a driver lives as long as the process: the
// drivers keep their prepared statements by its address.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "sql/sql_text.h"

namespace dovek::sql {

template <class R>
concept DriverRows = requires(R r, const R cr, int col) {
  { r.next() } -> std::same_as<Result<bool>>;
  { cr.text(col) } -> std::convertible_to<std::string_view>;
  { cr.optional_text(col) } -> std::same_as<std::optional<std::string>>;
  { cr.integer(col) } -> std::same_as<int64_t>;
  { cr.is_null(col) } -> std::same_as<bool>;
  { cr.affected() } -> std::same_as<int64_t>;
};

template <class D>
concept Driver = DriverRows<typename D::Rows> && requires(D d, std::string_view s, size_t n) {
  { D::kPipelined } -> std::convertible_to<bool>;
  { D::Dialect::kMark } -> std::convertible_to<char>;
  { D::Dialect::upsert(s, Names()) } -> std::same_as<std::string>;
  d.lock(s, s);
  d.lock_shared(s, s);
  d.lock_store();
  { d.pace(n) } -> std::same_as<Status>;
  { d.next_gen() } -> std::same_as<Result<int64_t>>;
  { d.transaction_serial() } -> std::same_as<uint64_t>;
  { d.rollback_epoch() } -> std::same_as<uint64_t>;
};

// The current row of `rows` read column by column from `col` on (a source
// of record_fields.h).
template <class Rows>
class Columns {
 public:
  Columns(const Rows& rows, int col) : rows_(&rows), col_(col) {}
  std::string_view text() { return rows_->text(col_++); }
  std::optional<std::string> optional_text() { return rows_->optional_text(col_++); }
  int64_t integer() { return rows_->integer(col_++); }

 private:
  const Rows* rows_;
  int col_;
};

// The text of column 0 of every row of `rows`, in order (a keys query).
template <DriverRows Rows>
Result<std::vector<std::string>> key_column(Rows& rows) {
  std::vector<std::string> out;
  for (;;) {
    DOVEK_ASSIGN_OR_RETURN(bool row, rows.next());
    if (!row) return out;
    out.emplace_back(rows.text(0));
  }
}

// A statement that takes no parameters.
inline constexpr auto kNoParams = [](auto&) {};

}  // namespace dovek::sql
