// The store's tables in its schema, and the steps that bring an older
// schema up to date. The version a schema is at lives in its `meta` table.
#pragma once

namespace dovek::postgres {

inline constexpr int kSchemaVersion = 1;

// The SQL that brings a schema at `from` to `from` + 1, for 0 <= from <
// kSchemaVersion: version 0 is an empty schema. Runs with the store's
// schema first on the search path.
const char* migration(int from);

}  // namespace dovek::postgres
