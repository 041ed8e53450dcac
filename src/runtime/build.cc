#include "runtime/build.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "base/unique_fd.h"
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
  return join_path(join_path(tmp, kDefaultTargetsName), id);
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

namespace {

// Opens the directory `name` in `dir_fd` (AT_FDCWD: `name` is a path),
// creating it with mode 0700 when missing, and insists that it is private:
// a real directory, not a symbolic link, owned by the current user and not
// writable by group or others. Builds in a shared temporary directory go
// there, and anything another user could plant or swap in would be copied
// into the skill as its executable.
Result<UniqueFd> open_private_dir(int dir_fd, const std::string& name) {
  if (has_nul(name)) return nul_in_path_error();
  if (::mkdirat(dir_fd, name.c_str(), 0700) != 0 && errno != EEXIST) return os_error(errno);
  int fd = ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ELOOP && errno != ENOTDIR) return os_error(errno);
    struct stat lst;
    if (::fstatat(dir_fd, name.c_str(), &lst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(lst.st_mode)) {
      return Error("the path is a symbolic link, not a directory");
    }
    return os_error(ENOTDIR);
  }
  UniqueFd dir(fd);
  struct stat st;
  if (::fstat(dir.get(), &st) != 0) return os_error(errno);
  if (st.st_uid != ::geteuid()) return Error("the directory belongs to another user");
  if ((st.st_mode & 022) != 0) return Error("the directory is writable by group or others");
  return dir;
}

// Asks `cancel` at most every 50 ms: each question takes the interpreter
// back for a moment.
StopCheck throttled(const CancelCheck& cancel) {
  if (!cancel) return {};
  return [&cancel, next = std::chrono::steady_clock::time_point{}]() mutable {
    auto now = std::chrono::steady_clock::now();
    if (now < next) return false;
    next = now + std::chrono::milliseconds(50);
    return cancel();
  };
}

}  // namespace

Status build_rust_binary(const std::string& root, const SkillArtifact& artifact,
                         const BuildOptions& options, const Environment& env,
                         const CancelCheck& cancel) {
  // The default build directory lies in the shared temporary directory: it
  // and the skill's directory in it are made private before the build, and
  // the executable is then read through the descriptor of the checked
  // directory, whatever happens to the path meanwhile.
  UniqueFd private_dir;
  std::string target_dir;
  if (options.target_dir) {
    target_dir = *options.target_dir;
  } else {
    std::string shared = join_path(env.tmpdir ? *env.tmpdir : "/tmp", kDefaultTargetsName);
    target_dir = join_path(shared, artifact.id);
    // A temporary directory that does not exist yet is made as any build
    // directory would be; only what lies below it must be private.
    if (auto tmp = parent_path(shared); tmp && !tmp->empty()) {
      DOVEK_TRY(with_context(create_dir_all(*tmp), "create " + shared));
    }
    Result<UniqueFd> top = open_private_dir(AT_FDCWD, shared);
    if (!top.ok()) return context("create " + shared, top.error());
    Result<UniqueFd> own = open_private_dir(top->get(), artifact.id);
    if (!own.ok()) return context("create " + target_dir, own.error());
    private_dir = std::move(own).value();
  }
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
  const std::string built = join_path(options.profile, artifact.id);
  const std::string source = join_path(target_dir, built);
  const std::string destination = join_path(root, artifact.entry);
  std::optional<std::string> parent = parent_path(destination);
  if (!parent) return Error("artifact entry has no parent");
  DOVEK_TRY(with_context(create_dir_all(*parent), "create " + *parent));
  Status copied = private_dir.valid()
                      ? copy_file_at(private_dir.get(), built, destination, throttled(cancel))
                      : copy_file(source, destination, throttled(cancel));
  if (!copied.ok() && copied.error().message() == kCopyStoppedMessage) {
    return Error(std::string(kCancelledMessage));
  }
  return with_context(std::move(copied),
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
