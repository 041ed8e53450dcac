// The skill artifact runtime as the Python binding calls it: each function
// takes plain values and returns compact JSON text or an error. Nothing here
// touches Python; the binding converts arguments, releases the interpreter
// lock, calls, and converts the result.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

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

Result<std::string> run_skill_json(const std::string& root, std::string_view input_json,
                                   uint64_t timeout_seconds, const Environment& env,
                                   const CancelCheck& cancel);
Result<std::string> build_skill_json(const std::string& root,
                                     const std::optional<std::string>& target_dir,
                                     const Environment& env, const CancelCheck& cancel);
Result<std::string> list_skills_json(const std::optional<std::string>& root, const Environment& env);
Result<std::string> load_artifact_json(const std::string& root);
Result<std::string> install_local_skill_json(const std::string& source,
                                             const std::optional<std::string>& root,
                                             const std::optional<std::string>& skill_id,
                                             bool overwrite, const Environment& env,
                                             const CancelCheck& cancel = {});

}  // namespace dovek::runtime
