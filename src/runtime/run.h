// Running a skill: the "stdio-json" process protocol under a time limit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/error.h"
#include "json/value.h"
#include "runtime/environment.h"

namespace dovek::runtime {

struct Duration {
  uint64_t seconds = 0;
  uint32_t nanos = 0;
};

struct RunOptions {
  std::string uv = "uv";          // starts "python_uv" skills; a bare name is looked up in PATH
  Duration timeout = {60, 0};     // from the closing of stdin to the exit
};

struct SkillRunOutput {
  json::Value output;          // always an object
  std::string stderr_text;     // decoded lossily, White_Space trimmed
  std::optional<int32_t> exit_code;  // 0 for every successful run
};

// Loads root's manifest, starts the skill in root (made absolute first, so the
// existence check and the started program agree), writes the compact JSON of
// `input` and a line feed, closes stdin, waits under the limit and decodes one
// JSON object from stdout. Failures while starting, feeding or waiting carry
// the context "run skill `{id}`"; a cancellation is returned as
// kCancelledMessage without it. Never leaves a process behind on failure.
[[nodiscard]] Result<SkillRunOutput> run_skill(const std::string& root, const json::Value& input,
                                               const RunOptions& options, const Environment& env,
                                               const CancelCheck& cancel);

}  // namespace dovek::runtime
