// Store URLs for PostgreSQL: libpq's connection URIs,
// "postgresql://[user[:password]@][host][:port][/dbname][?name=value&...]"
// (or "postgres://"), or libpq's key/value strings ("host=db dbname=app"),
// with libpq's own parameters (host=/socket/dir,
// sslmode=, ...) passed through and a password taken from the URL, the
// environment or ~/.pgpass as libpq does. Options of ours, taken out of the
// query before libpq sees it:
//   schema=NAME                (default dovek; a plain identifier: the
//                               store's tables live in that schema)
//   lock_timeout_ms=N          (default 5000; how long a command waits for a
//                               record another connection is writing)
//   statement_timeout_ms=N     (default 0, none; the longest one statement
//                               may run on the server)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"

namespace dovek::postgres {

inline constexpr std::string_view kScheme = "postgresql";
inline constexpr std::string_view kShortScheme = "postgres";

struct Options {
  std::string conninfo;  // what libpq is given
  std::string display;   // the URL without its password, for messages
  std::string secret;    // the password as written in the URL, if any
  std::string schema = "dovek";
  int64_t lock_timeout_ms = 5000;
  int64_t statement_timeout_ms = 0;

  // `text` with every occurrence of the URL's password masked.
  std::string scrub(std::string text) const;
};

// Whether `text` is in libpq's key/value form ("host=db dbname=app ..."),
// which parse_url takes as well, with the options above among its pairs.
bool is_keyword_value(std::string_view text);

// Fails with "bad store URL: ..." naming what is wrong (never the password).
[[nodiscard]] Result<Options> parse_url(std::string_view url);

}  // namespace dovek::postgres
