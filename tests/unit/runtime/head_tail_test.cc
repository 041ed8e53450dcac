#include "runtime/head_tail.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "test_util.h"

namespace dovek::runtime {
namespace {

using testing::head_and_tail;

// A stream whose bytes depend on their position, so a misplaced or lost
// stretch shows.
std::string pattern(size_t n, size_t from = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(((from + i) * 2654435761u) >> 13);
  return s;
}

TEST(HeadTailTest, KeepsEverythingUpToTwoPartsThenHeadAndTail) {
  constexpr size_t kPart = HeadTail::kPart;
  const size_t sizes[] = {0, 5, kPart, 2 * kPart, 2 * kPart + 1, 3 * kPart + 17, 7 * kPart + 3};
  // One write, pipe-sized reads, odd reads that straddle the ring's end, and
  // reads longer than the ring itself.
  const size_t chunks[] = {SIZE_MAX, 65536, 99991, kPart + 7};
  for (size_t size : sizes) {
    const std::string whole = pattern(size);
    for (size_t chunk : chunks) {
      HeadTail kept;
      for (size_t at = 0; at < size; at += std::min(chunk, size - at)) {
        kept.append(std::string_view(whole).substr(at, chunk));
      }
      EXPECT_EQ(kept.total(), size);
      EXPECT_TRUE(kept.text() == head_and_tail(whole)) << "size " << size << " chunk " << chunk;
    }
  }
}

}  // namespace
}  // namespace dovek::runtime
