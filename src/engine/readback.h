// Reading a core's records back as JSON: one record by key, or every record
// of a kind in key order, and the selected model; and deleting one record.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "domain/chat.h"

namespace dovek::engine {

class Core;

// The repositories a caller may read from, named as callers name them.
enum class RecordKind { kSkill, kSession, kTask, kRun, kProfile };

// "skill", "session", "task", "run" or "profile" (exactly); nullopt for any
// other text.
std::optional<RecordKind> parse_record_kind(std::string_view kind);

// The message for a kind parse_record_kind does not know:
// "unknown record kind `{kind}`, expected one of `skill`, `session`, `task`,
// `run`, `profile`".
std::string unknown_record_kind_message(std::string_view kind);

// With a key: the JSON of the record stored under exactly that key (one
// `get`), or `null` when there is none. Without: a JSON array of every
// record of the kind (one `list`), in ascending key order. Record forms as
// protocol::write_record writes them. Repository errors are returned
// unchanged; a record whose text is not valid UTF-8 (written into a database
// by another program) is the error "stored {kind} `{key}` is not valid
// UTF-8", its key decoded as U+FFFD where it is not UTF-8 itself. Cost:
// linear in the size of the text returned.
// REQUIRES: exclusive use of `core` (the caller holds its lock).
[[nodiscard]] Result<std::string> read_records_json(const Core& core, RecordKind kind,
                                                    std::optional<std::string_view> key);

// Removes the record of `kind` stored under exactly `key` (one `remove`):
// true when there was one. Repository errors are returned unchanged.
// REQUIRES: exclusive use of `core`; on a durable core, a write transaction.
[[nodiscard]] Result<bool> remove_record(Core& core, RecordKind kind, std::string_view key);

// The session under `key` with the messages `range` picks, in the form of
// protocol's write_record(SessionPage), or `null` when there is none: one
// page() of the sessions' repository. Cost: the page's text.
// REQUIRES: exclusive use of `core`.
[[nodiscard]] Result<std::string> read_session_page_json(const Core& core, std::string_view key,
                                                         chat::PageRange range);

// A JSON array of the keys of every record of the kind, in ascending key
// order (one keys()): linear in the number of keys, no record is read.
// REQUIRES: exclusive use of `core`.
[[nodiscard]] Result<std::string> read_keys_json(const Core& core, RecordKind kind);

// The selected model, as in the model_switched response.
std::string model_json(const Core& core);

}  // namespace dovek::engine
