// What the store URLs of every database share: the `name=value&...` query
// and its whole-number options, with the errors a caller sees.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/error.h"

namespace dovek::sql {

// "bad store URL: WHAT".
Error bad_url(std::string what);

// Calls apply(name, value) for each pair of `query` ("a=1&b=2", empty pairs
// skipped) in order, stopping at its first failure. Fails with "bad store
// URL: option `PAIR` has no value" for a pair without '='.
Status for_each_option(std::string_view query,
                       const std::function<Status(std::string_view, std::string_view)>& apply);

// `value` as milliseconds from 0 to a day; fails with "bad store URL: NAME
// must be a whole number of milliseconds up to a day".
Result<int64_t> milliseconds(std::string_view name, std::string_view value);

}  // namespace dovek::sql
