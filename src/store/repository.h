// Repository<T>: the one storage interface behind every record the engine
// keeps (skills, sessions, tasks, runs, profiles).
//
// Records are addressed by a caller-chosen key string; the interface never
// looks inside a record to find its key. Reads hand out copies (records are
// values), so a caller may change what it got without affecting the store.
//
// Handles are std::shared_ptr<Repository<T>>: any number of holders share one
// repository, which dies with its last handle. Calling through the handle
// forwards each operation unchanged.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "store/persistent_map.h"

namespace dovek::store {

// Thread safety: implementations decide; MemoryStore is safe to share.
template <class T>
class Repository {
 public:
  // All records of a repository in ascending key order, as a map value
  // (iterating it yields the records; find looks one up by key). Later writes
  // to the repository never change a list already handed out. MemoryStore
  // lists in O(1) by sharing its own tree; another implementation builds one
  // with List::from_pairs.
  using List = PersistentMap<T>;

  virtual ~Repository() = default;

  // The virtual operations, in this order: get, list, put, remove (the
  // delete operation; `delete` is reserved in C++), replace_all, exists,
  // keys.

  // A copy of the record stored under exactly `key` (byte for byte), or
  // nullopt when there is none.
  [[nodiscard]] virtual Result<std::optional<T>> get(std::string_view key) const = 0;

  // Every record, in ascending key order (unsigned bytewise; a prefix first).
  [[nodiscard]] virtual Result<List> list() const = 0;

  // Stores `record` under `key`, replacing any record stored there.
  [[nodiscard]] virtual Status put(std::string_view key, T record) = 0;

  // The delete operation: removes the record under `key`; true when one was
  // removed.
  [[nodiscard]] virtual Result<bool> remove(std::string_view key) = 0;

  // Discards every stored record, then stores the pairs in list order (of
  // repeated keys the last pair wins). An empty list empties the repository.
  [[nodiscard]] virtual Status replace_all(std::vector<std::pair<std::string, T>> pairs) = 0;

  // Whether a record is stored under `key`. The default asks `get` (paying
  // for one copy) and passes its error through unchanged.
  [[nodiscard]] virtual Result<bool> exists(std::string_view key) const {
    Result<std::optional<T>> found = get(key);
    if (!found.ok()) return std::move(found).error();
    return found->has_value();
  }

  // The keys of every record, in list() order, without the records. The
  // default asks `list` (which may read every record); a store that can read
  // its keys alone does so, at a cost linear in the number of keys.
  [[nodiscard]] virtual Result<std::vector<std::string>> keys() const {
    Result<List> all = list();
    if (!all.ok()) return std::move(all).error();
    std::vector<std::string> out;
    out.reserve(all->size());
    for (auto it = all->begin(); it != all->end(); ++it) out.push_back(it.key());
    return out;
  }
};

}  // namespace dovek::store
