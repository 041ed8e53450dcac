// The bounded store for a child's standard error.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace dovek::runtime {

// Keeps the first and the last kPart bytes of a stream of any length, so
// standard error (only ever quoted in failure messages) costs bounded memory
// however much a child writes. The tail is a ring buffer.
//
// Thread safety: none; owned by the thread that drains the pipe.
class HeadTail {
 public:
  static constexpr size_t kPart = size_t{512} << 10;

  void append(std::string_view bytes);
  // Everything appended when that was at most 2 * kPart bytes; otherwise the
  // head, one line saying how many bytes were left out, and the tail.
  std::string text() const;
  // How many bytes were appended in all.
  size_t total() const { return total_; }

 private:
  std::string head_;
  std::string tail_;  // up to kPart bytes; once full, the oldest byte is at ring_start_
  size_t ring_start_ = 0;
  size_t total_ = 0;
};

}  // namespace dovek::runtime
