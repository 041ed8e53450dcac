#include "runtime/child.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "runtime/fs.h"

namespace dovek::runtime {

namespace {

using live_runs::Fd;

// RAII holders for the spawn attribute objects.
struct FileActions {
  posix_spawn_file_actions_t fa;
  FileActions() { posix_spawn_file_actions_init(&fa); }
  ~FileActions() { posix_spawn_file_actions_destroy(&fa); }
};
struct SpawnAttr {
  posix_spawnattr_t attr;
  SpawnAttr() { posix_spawnattr_init(&attr); }
  ~SpawnAttr() { posix_spawnattr_destroy(&attr); }
};

// The child's stdio from `run`'s pipes, and its working directory.
void set_file_actions(FileActions& actions, const Command& command, const live_runs::Run& run) {
  posix_spawn_file_actions_adddup2(&actions.fa, run.fd(Fd::kStdinRead), 0);
  posix_spawn_file_actions_adddup2(&actions.fa, run.fd(Fd::kStdoutWrite), 1);
  posix_spawn_file_actions_adddup2(&actions.fa, run.fd(Fd::kStderrWrite), 2);
  // Only 0, 1 and 2 reach the child, whatever the host left inheritable.
  posix_spawn_file_actions_addclosefrom_np(&actions.fa, 3);
  if (command.cwd) posix_spawn_file_actions_addchdir_np(&actions.fa, command.cwd->c_str());
}

// SIGPIPE at its default, an empty signal mask, a process group of its own.
void set_attributes(SpawnAttr& attr) {
  sigset_t sigdef, mask;
  sigemptyset(&sigdef);
  sigaddset(&sigdef, SIGPIPE);
  sigemptyset(&mask);
  posix_spawnattr_setsigdefault(&attr.attr, &sigdef);
  posix_spawnattr_setsigmask(&attr.attr, &mask);
  posix_spawnattr_setpgroup(&attr.attr, 0);
  posix_spawnattr_setflags(&attr.attr,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
}

// The strings as the null-terminated array of C strings exec takes. The
// pointers borrow the strings, which must outlive the array.
std::vector<char*> c_strings(const std::vector<std::string>& strings,
                             const std::string* first = nullptr) {
  std::vector<char*> out;
  out.reserve(strings.size() + 2);
  if (first != nullptr) out.push_back(const_cast<char*>(first->c_str()));
  for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

ExitStatus from_wait_status(int status) {
  ExitStatus s;
  if (WIFEXITED(status)) {
    s.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    s.signal = WTERMSIG(status);
  }
  return s;
}

}  // namespace

Result<pid_t> spawn_child(const Command& command, const std::string& program,
                          const Environment& env, const live_runs::Run& run) {
  FileActions actions;
  set_file_actions(actions, command, run);
  SpawnAttr attr;
  set_attributes(attr);
  std::vector<char*> argv = c_strings(command.args, &command.program);
  std::vector<char*> envp = c_strings(env.entries);

  constexpr int kSpawnTries = 8;
  for (int attempt = 1;; ++attempt) {
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions.fa, &attr.attr, argv.data(), envp.data());
    if (rc == 0) return pid;
    if (rc != ETXTBSY || attempt == kSpawnTries) return os_error(rc);
    std::this_thread::sleep_for(std::chrono::milliseconds(1 << (attempt - 1)));
  }
}

Result<bool> Child::poll_exit() {
  if (reaped_) return true;
  if (run_.orphaned()) return os_error(ECHILD);
  // Asks without reaping, so the group is forgotten before its id can be
  // handed out again.
  siginfo_t info{};
  int r;
  do {
    r = waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return os_error(errno);
  if (info.si_pid == 0) return false;
  reap();
  return true;
}

void Child::kill_and_reap() {
  if (run_.orphaned()) {
    reaped_ = true;
    return;
  }
  ::kill(-pid_, SIGKILL);
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  reap();
}

void Child::reap() {
  run_.forget_group();
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid_, &status, 0);
  } while (r < 0 && errno == EINTR);
  reaped_ = true;
  run_.close({Fd::kPidfd});
  if (r == pid_) status_ = from_wait_status(status);
}

}  // namespace dovek::runtime
