#include "runtime/build.h"

#include "base/utf8.h"
#include "runtime/fs.h"
#include "runtime/process.h"

namespace dovek::runtime {

Status run_status_command(const std::string& program, const std::vector<std::string>& args,
                          const std::string& label, const Environment& env,
                          const CancelCheck& cancel) {
  Command command;
  command.program = program;
  command.args = args;
  command.pipe_stdin = false;
  Completion done = run_command(command, {}, 0, Limits{}, env, cancel);
  switch (done.failed) {
    case Stage::kNone: break;
    case Stage::kCancelled: return Error(std::string(kCancelledMessage));
    case Stage::kOutputLimit:
      return context(label + ": collect command output",
                     Error("command standard output exceeded " + std::to_string(kMaxStdoutBytes) +
                           " bytes"));
    default: return context(label + ": spawn command", done.error.value_or(Error("unknown error")));
  }
  if (!done.status.success()) {
    std::string decoded = utf8::decode_lossy(done.err);
    return Error(label + " failed with status " + done.status.describe() + ": " +
                 std::string(utf8::trim_white_space(decoded)));
  }
  return ok_status();
}

std::string default_target_dir(const std::string& id, const Environment& env) {
  std::string tmp = env.tmpdir ? *env.tmpdir : "/tmp";
  return join_path(join_path(tmp, "dovek-skill-targets"), id);
}

Status build_python_uv(const std::string& root, const BuildOptions& options, const Environment& env,
                       const CancelCheck& cancel) {
  if (!stat_path(join_path(root, "uv.lock"))) {
    DOVEK_TRY(run_status_command(options.uv, {"lock", "--project", root}, "lock python uv skill",
                                 env, cancel));
  }
  return run_status_command(options.uv, {"sync", "--project", root, "--locked"},
                            "sync python uv skill", env, cancel);
}

Status build_rust_binary(const std::string& root, const SkillArtifact& artifact,
                         const BuildOptions& options, const Environment& env,
                         const CancelCheck& cancel) {
  const std::string target_dir =
      options.target_dir ? *options.target_dir : default_target_dir(artifact.id, env);
  std::vector<std::string> args = {"build", "--manifest-path", join_path(root, "Cargo.toml"),
                                   "--target-dir", target_dir};
  if (options.profile == "release") {
    args.push_back("--release");
  } else {
    args.push_back("--profile");
    args.push_back(options.profile);
  }
  DOVEK_TRY(run_status_command(options.cargo, args, "build rust binary skill", env, cancel));

  // Executables have no suffix on Linux.
  const std::string source = join_path(join_path(target_dir, options.profile), artifact.id);
  const std::string destination = join_path(root, artifact.entry);
  std::optional<std::string> parent = parent_path(destination);
  if (!parent) return Error("artifact entry has no parent");
  DOVEK_TRY(with_context(create_dir_all(*parent), "create " + *parent));
  return with_context(copy_file(source, destination),
                      "copy built skill binary from " + source + " to " + destination);
}

Result<SkillArtifact> build_skill(const std::string& root, const BuildOptions& options,
                                  const Environment& env, const CancelCheck& cancel) {
  DOVEK_ASSIGN_OR_RETURN(SkillArtifact artifact, load_artifact(root));
  if (artifact.kind == ArtifactKind::kPythonUv) {
    DOVEK_TRY(build_python_uv(root, options, env, cancel));
  } else {
    DOVEK_TRY(build_rust_binary(root, artifact, options, env, cancel));
  }
  return artifact;
}

}  // namespace dovek::runtime
