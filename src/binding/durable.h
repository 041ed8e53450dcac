// Cores whose records live in a database named by a store URL (Core.open).
#pragma once

#include <string_view>

#include "base/error.h"
#include "engine/guarded_core.h"

namespace dovek::binding {

// Opens the store that `url` names and returns the factory of cores on it:
// core_factory()'s cores (tools included) with the store's repositories and
// transactions in place of in-memory ones. Every core it makes shares the
// one connection. Fails with "unsupported store URL scheme: ..." for a scheme
// not served, "bad store URL: ..." or "open store PATH".
[[nodiscard]] Result<engine::CoreFactory> open_core_factory(std::string_view url);

// Process hooks: close every store connection before a fork (each reopens on
// its next use) and, at exit, every one not in the middle of a command.
void close_stores_for_fork();
void close_stores_at_exit();

}  // namespace dovek::binding
