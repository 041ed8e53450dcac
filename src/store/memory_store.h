// MemoryStore<T>: the in-memory Repository: an ordered map from key to record
// behind a reader-writer lock. Nothing is written to disk; the records die
// with the store's last handle.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/fault.h"
#include "store/repository.h"

namespace dovek::store {

// Keys are ordered by std::string's operator<, which compares unsigned bytes
// with a prefix first: "B" < "a" < "ab" < "b". No operation returns an error;
// a missing key is not one (get gives nullopt, remove and exists false).
//
// Poisoning: if an exception (std::bad_alloc while copying, a throwing record
// type) escapes while the write lock is held, the map may be half-changed, so
// the store is marked poisoned and every later operation throws InternalFault
// "memory store lock". Only discarding the store recovers.
//
// Thread safety: safe to share between threads. get, list and exists take the
// lock shared; put, remove and replace_all take it exclusive. Each operation
// holds the lock for its whole duration, so a reader never sees part of a
// replace_all.
template <class T>
class MemoryStore final : public Repository<T> {
 public:
  using List = typename Repository<T>::List;

  // A new empty store as a shared Repository handle: the only way the system
  // creates one.
  static std::shared_ptr<Repository<T>> shared() { return std::make_shared<MemoryStore<T>>(); }

  MemoryStore() = default;
  MemoryStore(const MemoryStore&) = delete;
  MemoryStore& operator=(const MemoryStore&) = delete;

  Result<std::optional<T>> get(std::string_view key) const override {
    std::shared_lock lock(mu_);
    check_not_poisoned();
    auto it = map_.find(key);
    if (it == map_.end()) return std::optional<T>();
    return std::optional<T>(it->second);
  }

  // Hands out one immutable list shared by every caller until the next write;
  // the first list() after a write builds it again.
  Result<List> list() const override {
    std::shared_lock lock(mu_);
    check_not_poisoned();
    // Readers run in parallel; the cache slot needs its own small lock. A
    // failure while building leaves the cache empty and the map untouched.
    std::lock_guard cache_lock(snapshot_mu_);
    if (!snapshot_) {
      auto records = std::make_shared<std::vector<T>>();
      records->reserve(map_.size());
      for (const auto& [key, record] : map_) records->push_back(record);
      snapshot_ = std::move(records);
    }
    return snapshot_;
  }

  Status put(std::string_view key, T record) override {
    return write([&] {
      auto it = map_.find(key);
      if (it != map_.end()) {
        it->second = std::move(record);
      } else {
        map_.emplace(std::string(key), std::move(record));
      }
      return ok_status();
    });
  }

  Result<bool> remove(std::string_view key) override {
    return write([&]() -> Result<bool> {
      auto it = map_.find(key);
      if (it == map_.end()) return false;
      map_.erase(it);
      return true;
    });
  }

  Status replace_all(std::vector<std::pair<std::string, T>> pairs) override {
    return write([&] {
      map_.clear();
      for (auto& [key, record] : pairs) map_.insert_or_assign(std::move(key), std::move(record));
      return ok_status();
    });
  }

 private:
  void check_not_poisoned() const {
    if (poisoned_) throw InternalFault("memory store lock");
  }

  // Runs `change` under the exclusive lock; drops the cached list (even on
  // failure: the map may have changed) and poisons the store when `change`
  // throws.
  template <class F>
  auto write(F&& change) {
    std::unique_lock lock(mu_);
    check_not_poisoned();
    snapshot_.reset();
    try {
      return change();
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }

  mutable std::shared_mutex mu_;
  std::map<std::string, T, std::less<>> map_;  // guarded by mu_
  bool poisoned_ = false;                      // guarded by mu_ (set only under the write lock)
  mutable std::mutex snapshot_mu_;             // guards snapshot_ under a shared mu_
  mutable List snapshot_;  // guarded by mu_ (exclusive) or by snapshot_mu_ under a shared mu_
};

}  // namespace dovek::store
