#include "runtime/pipe_io.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace dovek::runtime {

namespace {

// Reads what is available from `fd`, handing it to `take` (which returns
// false to refuse it). Stops after 16 reads of 64 KiB.
template <class Take>
Drained drain(int fd, Take&& take) {
  char buf[65536];
  for (int reads = 0; reads < 16; ++reads) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      if (!take(std::string_view(buf, static_cast<size_t>(n)))) return {.over_limit = true};
      if (static_cast<size_t>(n) < sizeof buf) break;
      continue;
    }
    if (n == 0) return {.end = true};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    return {.error = errno};
  }
  return {};
}

sigset_t sigpipe_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  return set;
}

bool sigpipe_pending() {
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&pending, SIGPIPE) == 1;
}

}  // namespace

bool set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

Drained drain_capped(int fd, std::string& out, size_t max_bytes) {
  return drain(fd, [&](std::string_view bytes) {
    if (bytes.size() > max_bytes - out.size()) return false;
    // Grows geometrically, but never past the cap: a full store is never
    // twice the cap.
    if (out.capacity() - out.size() < bytes.size()) {
      out.reserve(std::min(max_bytes, std::max(out.size() + bytes.size(), 2 * out.capacity())));
    }
    out.append(bytes);
    return true;
  });
}

Drained drain_into(int fd, HeadTail& err) {
  return drain(fd, [&](std::string_view bytes) {
    err.append(bytes);
    return true;
  });
}

Written write_available(int fd, std::string_view bytes) {
  Written w;
  while (w.bytes < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + w.bytes, bytes.size() - w.bytes);
    if (n >= 0) {
      w.bytes += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) w.error = errno;
    break;
  }
  return w;
}

SigpipeBlock::SigpipeBlock() {
  sigset_t set = sigpipe_set();
  pthread_sigmask(SIG_BLOCK, &set, &old_);
  was_pending_ = sigpipe_pending();
}

SigpipeBlock::~SigpipeBlock() {
  if (!was_pending_ && sigpipe_pending()) {
    sigset_t set = sigpipe_set();
    timespec zero{0, 0};
    while (sigtimedwait(&set, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

}  // namespace dovek::runtime
