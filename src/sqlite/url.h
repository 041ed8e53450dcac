// Store URLs: "sqlite:///PATH?name=value&...". PATH is everything after the
// third slash (so "sqlite:////var/db" is absolute, "sqlite:///a.db" relative
// to the working directory), with %XX escapes decoded. Options:
//   synchronous=normal|full   (default normal)
//   busy_timeout_ms=N         (default 5000; how long a command waits for the
//                              database that another connection holds)
#pragma once

#include <string_view>

#include "base/error.h"
#include "sqlite/database.h"

namespace dovek::sqlite {

inline constexpr std::string_view kScheme = "sqlite";

// Fails with "bad store URL: ..." naming what is wrong.
[[nodiscard]] Result<Options> parse_url(std::string_view url);

}  // namespace dovek::sqlite
