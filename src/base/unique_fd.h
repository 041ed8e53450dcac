// A move-only owner of a file descriptor, so that no path through the code
// can leak one: the owner closes it in its destructor.
#pragma once

#include <unistd.h>

namespace dovek {

// Thread safety: none; one owner at a time, like the descriptor it holds.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);  // Linux frees the descriptor even on EINTR: no retry
    fd_ = fd;
  }
  // Closes now and reports close()'s result (0 or -1 with errno).
  int close() {
    int fd = release();
    return fd >= 0 ? ::close(fd) : 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace dovek
