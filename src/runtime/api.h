// The skill artifact runtime as the Python binding calls it: each function
// takes plain values and returns compact JSON text or an error. Nothing here
// touches Python; the binding converts arguments, releases the interpreter
// lock, calls, and converts the result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "json/value.h"
#include "runtime/environment.h"

namespace dovek::runtime {

Result<std::string> run_skill_json(const std::string& root, std::string_view input_json,
                                   uint64_t timeout_seconds, const Environment& env,
                                   const CancelCheck& cancel);
Result<std::string> build_skill_json(const std::string& root,
                                     const std::optional<std::string>& target_dir,
                                     const Environment& env, const CancelCheck& cancel);
Result<std::string> list_skills_json(const std::optional<std::string>& root,
                                     const Environment& env);
Result<std::string> load_artifact_json(const std::string& root);
Result<std::string> install_local_skill_json(const std::string& source,
                                             const std::optional<std::string>& root,
                                             const std::optional<std::string>& skill_id,
                                             bool overwrite, const Environment& env,
                                             const CancelCheck& cancel = {});

// An installed skill seen as a tool: what a tool listing shows of it.
struct SkillToolInfo {
  std::string name;          // the manifest's `name`
  json::Value input_schema;  // the JSON of the file schema.input names; null without one
};

// Loads root's manifest and reads its input schema: the manifest's errors
// unchanged, "read {path}" or "decode {path}" for the schema file.
Result<SkillToolInfo> describe_skill(const std::string& root);

// run_skill_json on a value: the skill's output object, or the run's error.
Result<json::Value> run_skill_value(const std::string& root, const json::Value& input,
                                    uint64_t timeout_seconds, const Environment& env,
                                    const CancelCheck& cancel);

}  // namespace dovek::runtime
