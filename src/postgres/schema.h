// The store's tables in its schema, and the steps that bring an older
// schema up to date. The version a schema is at lives in its `meta` table.
#pragma once

#include <string>
#include <string_view>

namespace dovek::postgres {

inline constexpr int kSchemaVersion = 1;

// The SQL that brings a schema at `from` to `from` + 1, for 0 <= from <
// kSchemaVersion: version 0 is an empty schema. Runs with the store's
// schema first on the search path.
const char* migration(int from);

// `name` as a quoted SQL identifier ("user", "a""b"): a schema named by a
// reserved word (user, order) is then a name like any other.
std::string quoted_identifier(std::string_view name);

}  // namespace dovek::postgres
