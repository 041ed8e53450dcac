// Building skills with the external programs `cargo` and `uv`.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "runtime/artifact.h"
#include "runtime/environment.h"

namespace dovek::runtime {

struct BuildOptions {
  std::string cargo = "cargo";
  std::string uv = "uv";
  std::string profile = "release";
  // Build directory for "rust_binary"; absent means
  // TMPDIR (or /tmp)/dovek-skill-targets/{id}.
  std::optional<std::string> target_dir;
};

// Loads root's manifest (root used unchanged) and builds it for its kind.
// Returns the artifact as loaded before the build.
[[nodiscard]] Result<SkillArtifact> build_skill(const std::string& root,
                                                const BuildOptions& options, const Environment& env,
                                                const CancelCheck& cancel);

// "uv lock" when root/uv.lock cannot be examined, then "uv sync --locked".
[[nodiscard]] Status build_python_uv(const std::string& root, const BuildOptions& options,
                                     const Environment& env, const CancelCheck& cancel);

// "cargo build" into the target directory, then the executable named like
// the artifact's id is copied to root/entry.
[[nodiscard]] Status build_rust_binary(const std::string& root, const SkillArtifact& artifact,
                                       const BuildOptions& options, const Environment& env,
                                       const CancelCheck& cancel);

// Runs program + args in the host's directory with stdin from the null
// device, drains its output, and fails with "{label}: spawn command" when it
// cannot be started or waited for, "{label} failed with status {code}:
// {stderr}" when it does not exit with 0. No time limit.
[[nodiscard]] Status run_status_command(const std::string& program,
                                        const std::vector<std::string>& args,
                                        const std::string& label, const Environment& env,
                                        const CancelCheck& cancel);

// The directory below the temporary directory that holds the default build
// directories. Created with mode 0700; a build fails with "create {dir}"
// unless it (and the skill's directory in it) is a real directory owned by
// the current user and not writable by group or others.
inline constexpr std::string_view kDefaultTargetsName = "dovek-skill-targets";

// The default build directory of a "rust_binary" skill.
std::string default_target_dir(const std::string& id, const Environment& env);

}  // namespace dovek::runtime
