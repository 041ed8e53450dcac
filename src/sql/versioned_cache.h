// VersionedCache<T>: a process's copy of a whole table of records (a
// database store's skill catalog), kept current against the table's version
// so that a listing reads only what changed.
//
// The table's writers give each written row a version one above every
// version so far, and a removal raises the table's floor past every version
// (removed rows leave no trace to read). A listing reads the table's version
// and floor first: a cache at that version is current; one above the floor
// but behind reads only the rows above its version (catch_up()); any other
// reads the whole table. A write of this connection that got the version
// just above the cache's is applied to the cache (follows()); one that did
// not (another connection wrote in between) drops it. What a rolled-back
// transaction applied may be wrong, so the cache belongs to one rollback
// epoch of its connection.
#pragma once

#include <cstdint>
#include <utility>

#include "store/persistent_map.h"

namespace dovek::sql {

template <class T>
class VersionedCache {
 public:
  using List = store::PersistentMap<T>;

  // Whether the cache holds the table at `version`.
  bool current(int64_t version, uint64_t epoch) const {
    return valid(epoch) && version == version_;
  }
  // Whether the rows above version() are all it lacks of the table at
  // `version` whose floor is `floor`.
  bool catch_up(int64_t version, int64_t floor, uint64_t epoch) const {
    return valid(epoch) && version_ >= floor && version_ < version;
  }
  int64_t version() const { return version_; }
  const List& list() const { return list_; }

  // The listing to add the rows read to: the cache when catching up, else
  // empty. Until replace() the cache is invalid (a read may fail midway).
  List begin_read(bool catching_up) {
    List base = catching_up ? list_ : List();
    version_ = -1;
    return base;
  }
  const List& replace(List fresh, int64_t version, uint64_t epoch) {
    list_ = std::move(fresh);
    version_ = version;
    epoch_ = epoch;
    return list_;
  }

  // After this connection's write that got `version`: true when the cache
  // held the table just before it, and the caller then applies the write to
  // list(); otherwise the cache is dropped.
  bool follows(int64_t version, uint64_t epoch) {
    if (valid(epoch) && version == version_ + 1) {
      version_ = version;
      return true;
    }
    version_ = -1;
    return false;
  }
  List& mutable_list() { return list_; }

 private:
  bool valid(uint64_t epoch) const { return version_ >= 0 && epoch_ == epoch; }

  List list_;
  int64_t version_ = -1;  // -1: none
  uint64_t epoch_ = 0;
};

}  // namespace dovek::sql
