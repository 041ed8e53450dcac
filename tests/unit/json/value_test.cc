// The block cache behind arrays and objects, as AddressSanitizer sees it: a
// container's storage that went back to the cache, and the bytes past what a
// container asked for, are reported when touched, as heap blocks would be.
#include <gtest/gtest.h>

#include <cstddef>

#include "json/value.h"

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ASAN 1
#endif
#endif
#ifdef UNDER_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

namespace dovek::json {
namespace {

#ifdef UNDER_ASAN
// Reads through a pointer the optimiser cannot see through, in a death
// test's child: its report goes to standard error, where the test looks for
// it, even when the run sends reports to files (log_path).
char peek(const volatile char* p) {
  __sanitizer_set_report_path("stderr");
  return *p;
}
#endif

TEST(BlockCacheTest, CachedAndSparePartsOfBlocksArePoisoned) {
#ifndef UNDER_ASAN
  GTEST_SKIP() << "needs AddressSanitizer";
#else
  // A block that returned to the cache: reading it is a use after free.
  EXPECT_DEATH(
      {
        const char* stale;
        {
          Array a(3, Value(7));
          stale = reinterpret_cast<const char*>(a.data());
        }
        peek(stale);
      },
      "use-after-poison");
  // A block is a whole size class (32-byte steps); the bytes past the
  // container's own are not its to touch.
  static_assert(sizeof(Value) % 32 != 0);
  EXPECT_DEATH(
      {
        Array one(1, Value(1));
        peek(reinterpret_cast<const char*>(one.data()) + sizeof(Value));
      },
      "use-after-poison");
  // Blocks handed out again are whole and usable.
  for (int round = 0; round < 3; ++round) {
    Array a(5, Value(round));
    for (const Value& v : a) EXPECT_EQ(v, Value(round));
  }
#endif
}

}  // namespace
}  // namespace dovek::json
