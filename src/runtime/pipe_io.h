// Bounded, non-blocking reads and writes on a child's pipes: each call moves
// what the pipe holds now and never more than a fixed amount, so one busy
// pipe cannot keep the polling thread from its time limit and its
// cancellation checks, and no stream can grow memory without bound.
#pragma once

#include <signal.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "runtime/head_tail.h"

namespace dovek::runtime {

// Sets O_NONBLOCK on `fd`. False (with errno) when that fails.
bool set_nonblocking(int fd);

// What one drain of a pipe came to.
struct Drained {
  int error = 0;            // an errno value
  bool end = false;         // end of file
  bool over_limit = false;  // the store refused the bytes
};

// Read what `fd` holds now, at most 1 MiB (the most a pipe holds by
// default), into standard output's store: `out` takes bytes only up to
// `max_bytes` in all, growing at most to that size, and a read that would
// pass it is refused (over_limit).
Drained drain_capped(int fd, std::string& out, size_t max_bytes);
// The same into standard error's store, which takes every byte.
Drained drain_into(int fd, HeadTail& err);

// What one write to a pipe came to.
struct Written {
  size_t bytes = 0;  // how many were taken
  int error = 0;     // an errno value; a full pipe is no error
};

// Writes as much of `bytes` as `fd` takes now.
Written write_available(int fd, std::string_view bytes);

// Blocks SIGPIPE for this thread while we write to a child's stdin, so a
// child that exits early gives EPIPE instead of killing a host that left
// SIGPIPE at its default. A SIGPIPE raised meanwhile is consumed before the
// mask is restored. Process-wide handlers are never touched.
//
// Thread safety: affects the calling thread only; destroy it on that thread.
class SigpipeBlock {
 public:
  SigpipeBlock();
  ~SigpipeBlock();
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t old_;
  bool was_pending_ = false;
};

}  // namespace dovek::runtime
