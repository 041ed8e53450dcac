// What every runtime operation takes from its caller: the captured process
// environment and the cancellation check.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dovek::runtime {

// What the runtime reads from the process environment, copied while the
// interpreter lock is held: Python threads may change the environment
// meanwhile, and glibc can free what an unlocked reader is reading.
struct Environment {
  std::optional<std::string> path;        // PATH
  std::optional<std::string> home;        // HOME
  std::optional<std::string> tmpdir;      // TMPDIR
  std::optional<std::string> skills_dir;  // DOVEK_SKILLS_DIR
  std::vector<std::string> entries;       // every "NAME=value", handed to children
};

// REQUIRES: the caller keeps other threads from changing the environment
// (the binding holds the interpreter lock).
Environment capture_environment();

// Asked about every 50 ms while a child runs. Returns true when the caller
// wants the operation stopped (a pending Ctrl-C); the runtime then kills the
// child's process group, reaps it and returns an error whose message is
// kCancelledMessage.
using CancelCheck = std::function<bool()>;
inline constexpr std::string_view kCancelledMessage = "operation cancelled";

}  // namespace dovek::runtime
