// RowCache<T>: a database store's copies of the records a process works on,
// each as the database held it when a transaction last read or wrote it.
//
// An entry is trusted as it is only inside the transaction that last saw it
// (serial) and only while nothing this connection did was rolled back
// (epoch); a later transaction revalidates it against the row's `gen`, which
// changes whenever the record is rewritten other than by appending. Past
// `Capacity` keys the cache starts over, so a process that touches many
// records keeps a bounded amount.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace dovek::sql {

template <class T, size_t Capacity>
class RowCache {
 public:
  struct Entry {
    bool exists = false;  // false: known absent (or not read yet)
    int64_t gen = 0;
    T record;
    uint64_t serial = 0;  // the transaction that last saw the database hold it
    uint64_t epoch = 0;
  };

  // The entry for `key` when transaction `serial` of rollback epoch `epoch`
  // has seen it, else null.
  Entry* known(std::string_view key, uint64_t serial, uint64_t epoch) {
    auto it = entries_.find(std::string(key));
    if (it == entries_.end() || it->second.serial != serial || it->second.epoch != epoch) {
      return nullptr;
    }
    return &it->second;
  }

  // The entry for `key`, default when new.
  Entry& slot(std::string_view key) {
    std::string k(key);
    if (entries_.size() >= Capacity && entries_.find(k) == entries_.end()) entries_.clear();
    return entries_[std::move(k)];
  }

  void clear() { entries_.clear(); }

 private:
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace dovek::sql
