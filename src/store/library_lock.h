// The lock over the database libraries' process-wide state (their allocators,
// mutexes and caches). fork() copies that state as it is at that instant: a
// child forked while another thread was inside the library (opening or
// closing a connection) inherits its mutexes held by a thread that does not
// exist there, and hangs on its first use of the library.
#pragma once

#include <mutex>

namespace dovek::store {

// Held by every call into a database library made outside a core's lock:
// opening a store, closing its connection when the last core on it is
// dropped, and closing connections at exit. A fork takes it after every
// core's lock (commands reach the libraries only under those) and holds it
// until after the fork, in the parent and in the child; so the child always
// starts with the libraries' state consistent.
//
// Never waited for with the interpreter's thread state held: the forking
// thread takes that state back while it holds this lock. Not recursive.
// Leaked, so that exit hooks may use it after static destructors ran.
inline std::mutex& library_lock() {
  static auto* mu = new std::mutex();
  return *mu;
}

}  // namespace dovek::store
