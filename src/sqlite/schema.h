// The store's tables, and the steps that bring an older file up to date.
// The version a file is at lives in its PRAGMA user_version.
#pragma once

namespace dovek::sqlite {

inline constexpr int kSchemaVersion = 1;

// The SQL that brings a database at `from` to `from` + 1, for 0 <= from <
// kSchemaVersion: version 0 is an empty file.
const char* migration(int from);

}  // namespace dovek::sqlite
