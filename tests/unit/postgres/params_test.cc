#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <string_view>

#include "postgres/database.h"

namespace dovek::postgres {
namespace {

TEST(Params, ValuesPostgresCannotHoldAreRefusedNamingTheLimit) {
  // Past the limit, and past 4 GiB, whose length an int cut to 1 byte: address
  // space never touched, so never backed by memory (nor copied by Params).
  for (size_t size : {Params::kMaxBytes + 1, (size_t{4} << 30) + 1}) {
    void* data =
        ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(data, MAP_FAILED);
    Params p;
    p.text(std::string_view("key"))
        .text(std::string_view(static_cast<char*>(data), size))
        .integer(7);
    ::munmap(data, size);
    EXPECT_EQ(p.size(), 3);
    Status fits = p.fits();
    ASSERT_FALSE(fits.ok()) << size;
    EXPECT_EQ(fits.error().message(), "store error: value too long: " + std::to_string(size) +
                                          " bytes, over the 1000000000 bytes (1 GB) PostgreSQL "
                                          "holds in one field");
  }
  EXPECT_TRUE(Params().text(std::string(1000, 'x')).text(std::nullopt).integer(1).fits().ok());
}

}  // namespace
}  // namespace dovek::postgres
