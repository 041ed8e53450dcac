// LiveSet<T>: every live object of a type, for process-wide hooks (fork,
// exit) that must reach them all. An object adds itself when constructed and
// removes itself when destroyed; members are visited in address order, so
// that a hook taking a lock of each takes them in one global order.
//
// The set and its lock are leaked, so that no static destructor runs while
// another thread may still construct or destroy a member.
#pragma once

#include <mutex>
#include <set>

namespace dovek {

template <class T>
class LiveSet {
 public:
  static void add(T* member) {
    std::lock_guard<std::mutex> lock(mutex());
    members().insert(member);
  }
  static void remove(T* member) {
    std::lock_guard<std::mutex> lock(mutex());
    members().erase(member);
  }

  // Calls f(T*) for each member under the set's lock.
  template <class F>
  static void for_each(F&& f) {
    std::lock_guard<std::mutex> lock(mutex());
    for (T* member : members()) f(member);
  }

  // For a caller that holds the lock across several steps (a fork's prepare
  // and after hooks): lock(), then for_each_locked() as needed, then unlock().
  static void lock() { mutex().lock(); }
  static void unlock() { mutex().unlock(); }
  template <class F>
  static void for_each_locked(F&& f) {  // REQUIRES: lock() held
    for (T* member : members()) f(member);
  }

 private:
  static std::mutex& mutex() {
    static auto* mu = new std::mutex();
    return *mu;
  }
  static std::set<T*>& members() {
    static auto* all = new std::set<T*>();
    return *all;
  }
};

}  // namespace dovek
