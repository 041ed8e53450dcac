#include "runtime/head_tail.h"

#include <algorithm>

namespace dovek::runtime {

void HeadTail::append(std::string_view bytes) {
  total_ += bytes.size();
  size_t to_head = std::min(bytes.size(), kPart - head_.size());
  head_.append(bytes.substr(0, to_head));
  bytes.remove_prefix(to_head);
  if (bytes.empty()) return;
  if (bytes.size() >= kPart) {  // only its last kPart bytes can stay
    tail_.assign(bytes.substr(bytes.size() - kPart));
    ring_start_ = 0;
    return;
  }
  if (tail_.size() < kPart) {
    tail_.reserve(kPart);
    size_t n = std::min(bytes.size(), kPart - tail_.size());
    tail_.append(bytes.substr(0, n));
    bytes.remove_prefix(n);
  }
  // The ring is full: the new bytes overwrite the oldest.
  while (!bytes.empty()) {
    size_t n = std::min(bytes.size(), kPart - ring_start_);
    std::copy_n(bytes.data(), n, tail_.begin() + static_cast<std::ptrdiff_t>(ring_start_));
    ring_start_ = (ring_start_ + n) % kPart;
    bytes.remove_prefix(n);
  }
}

std::string HeadTail::text() const {
  std::string out = head_;
  size_t left_out = total_ - head_.size() - tail_.size();
  if (left_out > 0) {
    out += "\n[... " + std::to_string(left_out) + " bytes of standard error left out ...]\n";
  }
  out.append(tail_, ring_start_);
  out.append(tail_, 0, ring_start_);
  return out;
}

}  // namespace dovek::runtime
