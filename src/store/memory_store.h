// MemoryStore<T>: the in-memory Repository: a persistent ordered map from key
// to record behind a reader-writer lock. Nothing is written to disk; the records die
// with the store's last handle.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/fault.h"
#include "base/mutex.h"
#include "store/persistent_map.h"
#include "store/repository.h"

namespace dovek::store {

// Keys are ordered as std::string's operator< orders them, by unsigned bytes
// with a prefix first: "B" < "a" < "ab" < "b". No operation returns an error;
// a missing key is not one (get gives nullopt, remove and exists false).
//
// Poisoning: if an exception (std::bad_alloc while copying, a throwing record
// type) escapes while the write lock is held, the map may be half-changed
// (never a list already handed out: those share only nodes a write copies), so
// the store is marked poisoned and every later operation throws InternalFault
// "memory store lock". Only discarding the store recovers.
//
// Thread safety: safe to share between threads. get, list and exists take the
// lock shared; put, remove and replace_all take it exclusive. Each operation
// holds the lock for its whole duration, so a reader never sees part of a
// replace_all.
//
// `Base` is the interface it implements: Repository<T>, or one derived from it
// that adds operations with default implementations (the sessions' one).
template <class T, class Base = Repository<T>>
class MemoryStore final : public Base {
 public:
  using List = typename Repository<T>::List;

  // A new empty store as a shared handle: the only way the system creates
  // one.
  static std::shared_ptr<Base> shared() { return std::make_shared<MemoryStore>(); }

  MemoryStore() = default;
  MemoryStore(const MemoryStore&) = delete;
  MemoryStore& operator=(const MemoryStore&) = delete;

  Result<std::optional<T>> get(std::string_view key) const override {
    ReaderLock lock(mu_);
    check_not_poisoned();
    const T* found = map_.find(key);
    if (found == nullptr) return std::optional<T>();
    return std::optional<T>(*found);
  }

  // Hands out the store's own tree, shared in O(1); the next write copies the
  // nodes it changes instead of changing them in place while a list lives.
  Result<List> list() const override {
    ReaderLock lock(mu_);
    check_not_poisoned();
    return map_;
  }

  // The map's keys, read in order under the shared lock; no record is copied.
  Result<std::vector<std::string>> keys() const override {
    ReaderLock lock(mu_);
    check_not_poisoned();
    std::vector<std::string> out;
    out.reserve(map_.size());
    for (auto it = map_.begin(); it != map_.end(); ++it) out.push_back(it.key());
    return out;
  }

  Status put(std::string_view key, T record) override {
    return write([&]() REQUIRES(mu_) {
      map_.put(key, std::move(record));
      return ok_status();
    });
  }

  Result<bool> remove(std::string_view key) override {
    return write([&]() REQUIRES(mu_) -> Result<bool> { return map_.remove(key); });
  }

  Status replace_all(std::vector<std::pair<std::string, T>> pairs) override {
    return write([&]() REQUIRES(mu_) {
      map_ = List::from_pairs(std::move(pairs));
      return ok_status();
    });
  }

 private:
  void check_not_poisoned() const REQUIRES_SHARED(mu_) {
    if (poisoned_) throw InternalFault("memory store lock");
  }

  // Runs `change` under the exclusive lock and poisons the store when
  // `change` throws.
  template <class F>
  auto write(F&& change) {
    WriterLock lock(mu_);
    check_not_poisoned();
    try {
      return change();
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }

  mutable SharedMutex mu_;
  List map_ GUARDED_BY(mu_);
  bool poisoned_ GUARDED_BY(mu_) = false;
};

}  // namespace dovek::store
