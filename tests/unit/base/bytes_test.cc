// bytes::equal, bytes::common_prefix and bytes::less against plain byte loops
// and std::string_view, at every length across the word-load boundaries and
// with the one differing byte at every position, read from buffers that end
// exactly where the strings end.
#include <gtest/gtest.h>

#include <memory>
#include <string_view>

#include "base/bytes.h"

namespace dovek {
namespace {

TEST(BytesTest, EqualMatchesStringViewAtEveryLengthAndPosition) {
  for (size_t n = 0; n <= 40; ++n) {
    // Heap blocks of exactly n bytes, so that a read past either end is an
    // error under AddressSanitizer.
    auto a = std::make_unique<char[]>(n);
    auto b = std::make_unique<char[]>(n);
    for (size_t i = 0; i < n; ++i) a[i] = b[i] = static_cast<char>('a' + i % 26);
    const std::string_view va(a.get(), n), vb(b.get(), n);
    EXPECT_TRUE(bytes::equal(va, vb)) << n;
    for (size_t at = 0; at < n; ++at) {
      b[at] = static_cast<char>(b[at] ^ 0x80);
      EXPECT_FALSE(bytes::equal(va, vb)) << n << " " << at;
      b[at] = a[at];
    }
    if (n > 0) {
      EXPECT_FALSE(bytes::equal(va, vb.substr(0, n - 1))) << n;
    }
  }
}

TEST(BytesTest, CommonPrefixStopsAtTheFirstDifferenceOrTheShorterEnd) {
  for (size_t n = 0; n <= 40; ++n) {
    auto a = std::make_unique<char[]>(n);
    auto b = std::make_unique<char[]>(n);
    for (size_t i = 0; i < n; ++i) a[i] = b[i] = static_cast<char>('a' + i % 26);
    const std::string_view va(a.get(), n), vb(b.get(), n);
    EXPECT_EQ(bytes::common_prefix(va, vb), n);
    for (size_t at = 0; at < n; ++at) {
      // Every bit of the byte, so that the found byte cannot be off by one
      // whichever bit differs.
      for (int bit = 0; bit < 8; ++bit) {
        b[at] = static_cast<char>(a[at] ^ (1 << bit));
        ASSERT_EQ(bytes::common_prefix(va, vb), at) << n << " " << at << " " << bit;
        ASSERT_EQ(bytes::common_prefix(vb, va), at) << n << " " << at << " " << bit;
      }
      b[at] = a[at];
      EXPECT_EQ(bytes::common_prefix(va, vb.substr(0, at)), at) << n << " " << at;
      EXPECT_EQ(bytes::common_prefix(va.substr(0, at), vb), at) << n << " " << at;
    }
  }
}

TEST(BytesTest, LessOrdersAsStringViewDoesWithHighBytesAndPrefixes) {
  for (size_t n = 0; n <= 20; ++n) {
    auto a = std::make_unique<char[]>(n);
    auto b = std::make_unique<char[]>(n);
    for (size_t i = 0; i < n; ++i) a[i] = b[i] = static_cast<char>('a' + i % 26);
    const std::string_view va(a.get(), n), vb(b.get(), n);
    EXPECT_FALSE(bytes::less(va, vb)) << n;
    for (size_t at = 0; at < n; ++at) {
      for (char c : {'\0', 'A', 'z', '\x7f', '\x80', '\xff'}) {
        b[at] = c;
        ASSERT_EQ(bytes::less(va, vb), va < vb) << n << " " << at << " " << int(c);
        ASSERT_EQ(bytes::less(vb, va), vb < va) << n << " " << at << " " << int(c);
      }
      b[at] = a[at];
      EXPECT_TRUE(bytes::less(va.substr(0, at), vb)) << n << " " << at;
      EXPECT_FALSE(bytes::less(va, vb.substr(0, at))) << n << " " << at;
    }
  }
}

}  // namespace
}  // namespace dovek
