// Tasks, runs, profiles and the selected model: one row per record, read and
// written whole, no cache (each command touches one row). A writer locks the
// record's key before it reads or writes the record (where the driver has
// such locks), so that a command's read-modify-write of a run is not
// interleaved with another's, nor undone by its write of an older copy. On
// a pipelined driver the selected model is read with every transaction's
// first round trip.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sql/driver.h"
#include "sql/record_fields.h"
#include "store/repository.h"

namespace dovek::sql {

template <class C>
concept Prefetching = requires { C::kPrefetchKey; };

// A table of records of T, one row each. Codec gives the table
// (record_fields.h) and reads a record.
template <Driver D, class T, class Codec>
class TableStore final : public store::Repository<T> {
 public:
  using List = typename store::Repository<T>::List;
  using Rows = typename D::Rows;

  explicit TableStore(std::shared_ptr<D> db) : db_(std::move(db)) {
    if constexpr (kPrefetch) slot_ = db_->add_prefetch(prefetch().c_str());
  }

  Result<std::optional<T>> get(std::string_view key) const override {
    if constexpr (kPrefetch) {
      if (key == Codec::kPrefetchKey && written_ != db_->transaction_serial()) {
        DOVEK_ASSIGN_OR_RETURN(Rows rows, db_->prefetched(slot_));
        return read_one(rows);
      }
    }
    db_->lock(Codec::kTable.name, key);
    DOVEK_ASSIGN_OR_RETURN(Rows rows, db_->fetch(statements().get.c_str(), by_key(key)));
    return read_one(rows);
  }

  Result<List> list() const override {
    DOVEK_ASSIGN_OR_RETURN(Rows rows, db_->fetch(statements().list.c_str(), kNoParams));
    std::vector<std::pair<std::string, T>> pairs;
    for (;;) {
      DOVEK_ASSIGN_OR_RETURN(bool row, rows.next());
      if (!row) break;
      Columns<Rows> c(rows, 1);
      pairs.emplace_back(std::string(rows.text(0)), Codec::read(c));
    }
    return List::from_pairs(std::move(pairs));
  }

  Result<std::vector<std::string>> keys() const override {
    DOVEK_ASSIGN_OR_RETURN(Rows rows, db_->fetch(statements().keys.c_str(), kNoParams));
    return key_column(rows);
  }

  Status put(std::string_view key, T record) override {
    db_->lock(Codec::kTable.name, key);
    DOVEK_TRY(db_->exec(statements().put.c_str(), [&](auto& p) {
      p.text(key);
      write(p, record);
    }));
    written_ = db_->transaction_serial();
    return ok_status();
  }

  Result<bool> remove(std::string_view key) override {
    db_->lock(Codec::kTable.name, key);
    written_ = db_->transaction_serial();
    DOVEK_ASSIGN_OR_RETURN(Rows rows, db_->fetch(statements().remove.c_str(), by_key(key)));
    return rows.affected() > 0;
  }

  Status replace_all(std::vector<std::pair<std::string, T>> pairs) override {
    db_->lock_store();
    DOVEK_TRY(db_->exec(statements().clear.c_str(), kNoParams));
    written_ = db_->transaction_serial();
    // Of repeated keys the last pair wins (each put replaces the row).
    for (auto& [key, record] : pairs) DOVEK_TRY(put(key, std::move(record)));
    return ok_status();
  }

 private:
  static constexpr bool kPrefetch = D::kPipelined && Prefetching<Codec>;

  static auto by_key(std::string_view key) {
    return [key](auto& p) { p.text(key); };
  }

  static const TableStatements& statements() {
    static const TableStatements s =
        table_statements(Codec::kTable.name, Codec::kTable.columns, D::Dialect::kMark,
                         D::Dialect::upsert(Codec::kTable.name, Codec::kTable.columns));
    return s;
  }

  // The record of kPrefetchKey, read with every transaction's first round
  // trip.
  static const std::string& prefetch()
    requires kPrefetch
  {
    static const std::string s = "SELECT " + names(Codec::kTable.columns) + " FROM " +
                                 std::string(Codec::kTable.name) +
                                 " WHERE key = " + D::Dialect::key_literal(Codec::kPrefetchKey);
    return s;
  }

  static Result<std::optional<T>> read_one(Rows& rows) {
    DOVEK_ASSIGN_OR_RETURN(bool row, rows.next());
    if (!row) return std::optional<T>();
    Columns<Rows> c(rows, 0);
    return std::optional<T>(Codec::read(c));
  }

  std::shared_ptr<D> db_;
  size_t slot_ = 0;
  uint64_t written_ = 0;  // the transaction that last wrote this table
};

struct TaskCodec {
  static constexpr const Table& kTable = kTasks;
  template <class Source>
  static run::Task read(Source& c) {
    return read_task(c);
  }
};

struct RunCodec {
  static constexpr const Table& kTable = kRuns;
  template <class Source>
  static run::Run read(Source& c) {
    return read_run(c);
  }
};

struct ProfileCodec {
  static constexpr const Table& kTable = kProfiles;
  template <class Source>
  static auth::Profile read(Source& c) {
    return read_profile(c);
  }
};

struct ModelCodec {
  static constexpr const Table& kTable = kModels;
  // The engine's one model record, read with every transaction's first
  // round trip on a pipelined driver: the flows that use it need it anyway.
  static constexpr std::string_view kPrefetchKey = model::kSelectedKey;
  template <class Source>
  static model::Model read(Source& c) {
    return read_model(c);
  }
};

}  // namespace dovek::sql
