// The runtime functions as the binding calls them: parse, call, serialise.
#include "runtime/api.h"

#include "json/read.h"
#include "json/write.h"
#include "runtime/artifact.h"
#include "runtime/build.h"
#include "runtime/fs.h"
#include "runtime/install.h"
#include "runtime/run.h"

namespace dovek::runtime {

namespace {

// None or the empty string means the default skills directory.
Result<std::string> skills_dir_or_default(const std::optional<std::string>& root,
                                          const Environment& env) {
  if (root && !root->empty()) return *root;
  return default_skills_dir(env);
}

}  // namespace

Result<std::string> run_skill_json(const std::string& root, std::string_view input_json,
                                   uint64_t timeout_seconds, const Environment& env,
                                   const CancelCheck& cancel) {
  // The input is checked before anything touches the file system.
  DOVEK_ASSIGN_OR_RETURN(json::Value input, json::parse(input_json));
  RunOptions options;
  options.timeout = Duration{timeout_seconds, 0};
  DOVEK_ASSIGN_OR_RETURN(SkillRunOutput out, run_skill(root, input, options, env, cancel));
  return json::write(out.output);
}

Result<std::string> build_skill_json(const std::string& root,
                                     const std::optional<std::string>& target_dir,
                                     const Environment& env, const CancelCheck& cancel) {
  BuildOptions options;
  options.target_dir = target_dir;
  DOVEK_ASSIGN_OR_RETURN(SkillArtifact artifact, build_skill(root, options, env, cancel));
  return artifact_json(artifact);
}

Result<std::string> list_skills_json(const std::optional<std::string>& root,
                                     const Environment& env) {
  DOVEK_ASSIGN_OR_RETURN(std::string dir, skills_dir_or_default(root, env));
  DOVEK_ASSIGN_OR_RETURN(std::vector<SkillArtifact> artifacts, list_installed_skills(dir));
  return artifacts_json(artifacts);
}

Result<std::string> load_artifact_json(const std::string& root) {
  DOVEK_ASSIGN_OR_RETURN(SkillArtifact artifact, load_artifact(root));
  return artifact_json(artifact);
}

Result<std::string> install_local_skill_json(const std::string& source,
                                             const std::optional<std::string>& root,
                                             const std::optional<std::string>& skill_id,
                                             bool overwrite, const Environment& env,
                                             const CancelCheck& cancel) {
  InstallOptions options;
  DOVEK_ASSIGN_OR_RETURN(options.skills_dir, skills_dir_or_default(root, env));
  options.skill_id = skill_id;
  options.overwrite = overwrite;
  DOVEK_ASSIGN_OR_RETURN(SkillArtifact artifact, install_local_skill(source, options, cancel));
  return artifact_json(artifact);
}

Result<SkillToolInfo> describe_skill(const std::string& root) {
  DOVEK_ASSIGN_OR_RETURN(SkillArtifact artifact, load_artifact(root));
  SkillToolInfo info{std::move(artifact.name), json::Value()};
  if (artifact.schema.input) {
    const std::string path = join_path(root, *artifact.schema.input);
    DOVEK_ASSIGN_OR_RETURN(std::string text, with_context(read_text_file(path), "read " + path));
    DOVEK_ASSIGN_OR_RETURN(info.input_schema, with_context(json::parse(text), "decode " + path));
  }
  return info;
}

Result<json::Value> run_skill_value(const std::string& root, const json::Value& input,
                                    uint64_t timeout_seconds, const Environment& env,
                                    const CancelCheck& cancel) {
  RunOptions options;
  options.timeout = Duration{timeout_seconds, 0};
  DOVEK_ASSIGN_OR_RETURN(SkillRunOutput out, run_skill(root, input, options, env, cancel));
  return std::move(out.output);
}

}  // namespace dovek::runtime
