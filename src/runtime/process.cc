#include "runtime/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <utility>

#include "runtime/fs.h"

namespace dovek::runtime {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);  // Linux frees the descriptor even on EINTR: no retry
  fd_ = fd;
}

int UniqueFd::close() {
  int fd = release();
  return fd >= 0 ? ::close(fd) : 0;
}

std::string ExitStatus::describe() const {
  if (code) return "Some(" + std::to_string(*code) + ")";
  return "None";
}

Limits limits_for(uint64_t seconds, uint32_t nanos) {
  // Elapsed times are compared with the limit as int64 nanoseconds; a limit
  // beyond that range can never be reached, so it is no limit at all.
  constexpr uint64_t kMaxSeconds = static_cast<uint64_t>(INT64_MAX) / 1000000000u - 1;
  if (seconds > kMaxSeconds) return Limits{};
  return Limits{std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanos)};
}

Result<std::string> resolve_program(const std::string& program,
                                    const std::optional<std::string>& path_var) {
  if (program.find('/') != std::string::npos) return absolute_path(program);
  if (program.empty()) return os_error(ENOENT);
  std::string_view dirs = path_var ? std::string_view(*path_var) : "/bin:/usr/bin";
  int err = ENOENT;
  while (true) {
    size_t colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    std::string candidate = join_path(dir.empty() ? "." : dir, program);
    if (is_regular_file(candidate)) {
      if (access(candidate.c_str(), X_OK) == 0) return absolute_path(candidate);
      err = EACCES;
    }
    if (colon == std::string_view::npos) break;
    dirs.remove_prefix(colon + 1);
  }
  return os_error(err);
}

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kExitCheckInterval{10};
constexpr milliseconds kCancelInterval{50};
constexpr milliseconds kDrainIdle{100};
constexpr milliseconds kDrainMax{1000};

// Blocks SIGPIPE for this thread while we write to a child's stdin, so a
// child that exits early gives EPIPE instead of killing a host that left
// SIGPIPE at its default. A SIGPIPE raised meanwhile is consumed before the
// mask is restored. Process-wide handlers are never touched.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
  }
  ~SigpipeBlock() {
    if (!was_pending_) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGPIPE);
        timespec zero{0, 0};
        while (sigtimedwait(&set, nullptr, &zero) < 0 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t old_;
  bool was_pending_ = false;
};

ExitStatus from_wait_status(int status) {
  ExitStatus s;
  if (WIFEXITED(status)) {
    s.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    s.signal = WTERMSIG(status);
  }
  return s;
}

// A started child in its own process group. Reaps a child it still owns in
// its destructor (after killing its group), so no path leaves a zombie.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {
#ifdef SYS_pidfd_open
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) pidfd_.reset(fd);
#endif
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (!reaped_) kill_and_reap();
  }

  // The pidfd, or -1 when the kernel has none: then exit is noticed by
  // polling waitpid every 10 ms.
  int pidfd() const { return reaped_ ? -1 : pidfd_.get(); }
  bool reaped() const { return reaped_; }
  const ExitStatus& status() const { return status_; }

  // Non-blocking exit query. Returns whether the child has exited (and is
  // now reaped); the error is the OS error of waitpid.
  Result<bool> poll_exit() {
    if (reaped_) return true;
    int status = 0;
    pid_t r;
    do {
      r = waitpid(pid_, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return os_error(errno);
    if (r == 0) return false;
    reaped_ = true;
    pidfd_.reset();
    status_ = from_wait_status(status);
    return true;
  }

  // SIGKILL to the whole group, then reap the child. Failures of both are
  // ignored: the child may be gone already.
  void kill_and_reap() {
    ::kill(-pid_, SIGKILL);
    if (reaped_) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    pid_t r;
    do {
      r = waitpid(pid_, &status, 0);
    } while (r < 0 && errno == EINTR);
    reaped_ = true;
    pidfd_.reset();
    if (r == pid_) status_ = from_wait_status(status);
  }

 private:
  pid_t pid_;
  UniqueFd pidfd_;
  bool reaped_ = false;
  ExitStatus status_;
};

// Moves a descriptor to 3 or above, so that dup2() onto 0, 1 or 2 in the
// child never meets itself (dup2 of a descriptor onto itself keeps
// close-on-exec set).
bool lift_above_stdio(UniqueFd& fd) {
  if (fd.get() > 2) return true;
  int lifted = fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (lifted < 0) return false;
  fd.reset(lifted);
  return true;
}

bool set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int make_pipe(UniqueFd& read_end, UniqueFd& write_end) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return errno;
  read_end.reset(fds[0]);
  write_end.reset(fds[1]);
  if (!lift_above_stdio(read_end) || !lift_above_stdio(write_end)) return errno;
  return 0;
}

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

// Reads what is available from `fd` into `out`. Returns 0 on progress or
// EAGAIN, -1 at end of file, an errno value on failure.
int drain(UniqueFd& fd, std::string& out) {
  char buf[65536];
  while (true) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
      if (static_cast<size_t>(n) < sizeof buf) return 0;
      continue;
    }
    if (n == 0) return -1;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return errno;
  }
}

int poll_timeout_ms(Clock::duration d) {
  if (d <= Clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<milliseconds>(d).count();
  return static_cast<int>(std::min<int64_t>(ms, kExitCheckInterval.count()));
}

}  // namespace

Completion run_command(const Command& command, std::string_view input, size_t newline_at,
                       const Limits& limits, const Environment& env, const CancelCheck& cancel) {
  Completion c;
  auto spawn_failure = [&](Error error) {
    c.failed = Stage::kSpawn;
    c.error = std::move(error);
    return std::move(c);
  };

  // A C string would cut an argument at its first NUL and run something else.
  bool nul = has_nul(command.program) || (command.cwd && has_nul(*command.cwd)) ||
             std::any_of(command.args.begin(), command.args.end(),
                         [](const std::string& a) { return has_nul(a); });
  if (nul) return spawn_failure(Error("nul byte found in provided data"));

  Result<std::string> program = resolve_program(command.program, env.path);
  if (!program.ok()) return spawn_failure(program.error());

  UniqueFd stdin_read, stdin_write, stdout_read, stdout_write, stderr_read, stderr_write;
  if (command.pipe_stdin) {
    if (int err = make_pipe(stdin_read, stdin_write)) return spawn_failure(os_error(err));
  } else {
    stdin_read.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!stdin_read.valid() || !lift_above_stdio(stdin_read)) return spawn_failure(os_error(errno));
  }
  if (int err = make_pipe(stdout_read, stdout_write)) return spawn_failure(os_error(err));
  if (int err = make_pipe(stderr_read, stderr_write)) return spawn_failure(os_error(err));

  pid_t pid = -1;
  {
    FileActions actions;
    posix_spawn_file_actions_adddup2(&actions.fa, stdin_read.get(), 0);
    posix_spawn_file_actions_adddup2(&actions.fa, stdout_write.get(), 1);
    posix_spawn_file_actions_adddup2(&actions.fa, stderr_write.get(), 2);
    // Only 0, 1 and 2 reach the child, whatever the host left inheritable.
    posix_spawn_file_actions_addclosefrom_np(&actions.fa, 3);
    if (command.cwd) posix_spawn_file_actions_addchdir_np(&actions.fa, command.cwd->c_str());

    SpawnAttr attr;
    sigset_t sigdef, mask;
    sigemptyset(&sigdef);
    sigaddset(&sigdef, SIGPIPE);
    sigemptyset(&mask);
    posix_spawnattr_setsigdefault(&attr.attr, &sigdef);
    posix_spawnattr_setsigmask(&attr.attr, &mask);
    posix_spawnattr_setpgroup(&attr.attr, 0);
    posix_spawnattr_setflags(
        &attr.attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> argv;
    argv.reserve(command.args.size() + 2);
    argv.push_back(const_cast<char*>(command.program.c_str()));
    for (const std::string& a : command.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    envp.reserve(env.entries.size() + 1);
    for (const std::string& e : env.entries) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    int rc = posix_spawn(&pid, program->c_str(), &actions.fa, &attr.attr, argv.data(), envp.data());
    if (rc != 0) return spawn_failure(os_error(rc));
  }
  Child child(pid);
  // The child's ends live on only in the child.
  stdin_read.reset();
  stdout_write.reset();
  stderr_write.reset();

  auto fail = [&](Stage stage, std::optional<Error> error) {
    child.kill_and_reap();
    c.failed = stage;
    c.error = std::move(error);
    return std::move(c);
  };

  if ((stdin_write.valid() && !set_nonblocking(stdin_write.get())) ||
      !set_nonblocking(stdout_read.get()) || !set_nonblocking(stderr_read.get())) {
    return fail(Stage::kCollect, os_error(errno));
  }

  std::optional<SigpipeBlock> sigpipe_block;
  if (stdin_write.valid()) sigpipe_block.emplace();

  const Clock::time_point start = Clock::now();
  Clock::time_point wait_start = start;  // when stdin was closed
  Clock::time_point exit_time{};
  Clock::time_point last_output{};
  Clock::time_point last_cancel = start;
  size_t written = 0;

  auto close_stdin = [&](Clock::time_point now) {
    stdin_write.reset();
    sigpipe_block.reset();
    wait_start = now;
  };
  if (stdin_write.valid() && input.empty()) close_stdin(start);

  for (bool first_pass = true;; first_pass = false) {
    Clock::time_point now = Clock::now();

    if (cancel && now - last_cancel >= kCancelInterval) {
      last_cancel = now;
      if (cancel()) return fail(Stage::kCancelled, std::nullopt);
    }

    // Time limits: the input has its own budget from the start; the wait for
    // the exit is measured from the closing of stdin. The exit is queried once
    // more before a timeout is declared.
    Clock::duration remaining = kExitCheckInterval;
    if (!child.reaped() && limits.timeout) {
      Clock::time_point from = stdin_write.valid() ? start : wait_start;
      Clock::duration elapsed = now - from;
      if (elapsed > *limits.timeout && !(stdin_write.valid() && first_pass)) {
        // Input is always offered once, so even a zero limit delivers what
        // the pipe can take before the exit is queried.
        if (stdin_write.valid()) return fail(Stage::kTimeout, std::nullopt);
        Result<bool> exited = child.poll_exit();
        if (!exited.ok()) return fail(Stage::kWait, exited.error());
        if (!*exited) return fail(Stage::kTimeout, std::nullopt);
        exit_time = last_output = now;
      } else {
        remaining = *limits.timeout - elapsed + std::chrono::microseconds(100);
      }
    }

    if (child.reaped()) {
      bool pipes_open = stdout_read.valid() || stderr_read.valid();
      if (!pipes_open || now - last_output >= kDrainIdle || now - exit_time >= kDrainMax) {
        // Everything the child wrote before it exited sits in the pipes now.
        // Take it before giving up on them: this thread may have been held
        // up past the deadline before it read a byte since the exit.
        for (auto [fd, buffer] :
             {std::pair{&stdout_read, &c.out}, std::pair{&stderr_read, &c.err}}) {
          if (!fd->valid()) continue;
          int r = drain(*fd, *buffer);
          if (r > 0) return fail(Stage::kCollect, os_error(r));
        }
        break;
      }
      remaining = std::min<Clock::duration>(remaining, kDrainIdle - (now - last_output));
    }

    pollfd fds[4];
    nfds_t nfds = 0;
    int in_slot = -1, out_slot = -1, err_slot = -1;
    if (stdin_write.valid()) {
      in_slot = static_cast<int>(nfds);
      fds[nfds++] = {stdin_write.get(), POLLOUT, 0};
    }
    if (stdout_read.valid()) {
      out_slot = static_cast<int>(nfds);
      fds[nfds++] = {stdout_read.get(), POLLIN, 0};
    }
    if (stderr_read.valid()) {
      err_slot = static_cast<int>(nfds);
      fds[nfds++] = {stderr_read.get(), POLLIN, 0};
    }
    // Only wakes the poll: the exit itself is queried below on every pass.
    if (child.pidfd() >= 0) fds[nfds++] = {child.pidfd(), POLLIN, 0};
    int ready = ::poll(fds, nfds, poll_timeout_ms(remaining));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return fail(Stage::kCollect, os_error(errno));
    }
    now = Clock::now();

    if (in_slot >= 0 && fds[in_slot].revents != 0) {
      while (written < input.size()) {
        ssize_t n = ::write(stdin_write.get(), input.data() + written, input.size() - written);
        if (n >= 0) {
          written += static_cast<size_t>(n);
          continue;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        return fail(written < newline_at ? Stage::kWriteInput : Stage::kWriteNewline,
                    os_error(errno));
      }
      if (written == input.size()) close_stdin(now);
    }

    for (auto [slot, fd, buffer] : {std::tuple{out_slot, &stdout_read, &c.out},
                                    std::tuple{err_slot, &stderr_read, &c.err}}) {
      if (slot < 0 || fds[slot].revents == 0) continue;
      size_t before = buffer->size();
      int r = drain(*fd, *buffer);
      if (r > 0) return fail(Stage::kCollect, os_error(r));
      if (r < 0) fd->reset();
      if (buffer->size() != before) last_output = now;
    }

    // Exit is checked on every pass: the pidfd wakes the poll at once, and
    // without one the poll returns within 10 ms anyway.
    if (!child.reaped()) {
      Result<bool> exited = child.poll_exit();
      if (!exited.ok()) return fail(Stage::kWait, exited.error());
      if (*exited) exit_time = last_output = now;
    }
  }

  c.status = child.status();
  if (stdin_write.valid()) {
    // The child exited while input was still pending and never broke the
    // pipe (a grandchild holds its read end): that input was not delivered.
    return fail(written < newline_at ? Stage::kWriteInput : Stage::kWriteNewline,
                os_error(EPIPE));
  }
  return c;
}

}  // namespace dovek::runtime
