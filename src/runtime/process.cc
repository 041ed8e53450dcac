#include "runtime/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <thread>
#include <utility>

#include "runtime/fs.h"
#include "runtime/live_runs.h"

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

using live_runs::Fd;

// A started child in its own process group, registered in `run`. Reaps a
// child it still owns in its destructor (after killing its group), so no
// path leaves a zombie: also not a forced unwind out of the cancellation
// check. In a forked copy of the host the child belongs to the parent and is
// left alone.
class Child {
 public:
  Child(pid_t pid, live_runs::Run& run) : pid_(pid), run_(run) { run_.started(pid); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (!reaped_) kill_and_reap();
  }

  // The pidfd, or -1 when the kernel has none: then exit is noticed by
  // polling waitpid every 10 ms.
  int pidfd() const { return reaped_ ? -1 : run_.fd(Fd::kPidfd); }
  bool reaped() const { return reaped_; }
  const ExitStatus& status() const { return status_; }

  // Non-blocking exit query. Returns whether the child has exited (and is
  // now reaped); the error is the OS error of the query.
  Result<bool> poll_exit() {
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

  // SIGKILL to the whole group, then reap the child. Failures of both are
  // ignored: the child may be gone already.
  void kill_and_reap() {
    if (run_.orphaned()) {
      reaped_ = true;
      return;
    }
    ::kill(-pid_, SIGKILL);
    if (reaped_) return;
    ::kill(pid_, SIGKILL);
    reap();
  }

 private:
  // Waits for the child, which has exited or been sent SIGKILL.
  void reap() {
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

  pid_t pid_;
  live_runs::Run& run_;
  bool reaped_ = false;
  ExitStatus status_;
};

bool set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
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

// Starts `command` as `program` with the child's ends of `run`'s pipes as
// its stdio. Returns 0 or an errno value.
//
// An executable written moments ago may still be open for writing in a
// child that another thread forked (or spawned) before the writer closed it,
// if it was not opened with O_CLOEXEC; exec then fails with ETXTBSY until that
// child execs or exits. That is retried, backing off 1, 2, 4, ... 64 ms
// (127 ms in all), which outlasts a loaded machine's delay before that exec.
int spawn(const Command& command, const std::string& program, const Environment& env,
          const live_runs::Run& run, pid_t& pid) {
  FileActions actions;
  posix_spawn_file_actions_adddup2(&actions.fa, run.fd(Fd::kStdinRead), 0);
  posix_spawn_file_actions_adddup2(&actions.fa, run.fd(Fd::kStdoutWrite), 1);
  posix_spawn_file_actions_adddup2(&actions.fa, run.fd(Fd::kStderrWrite), 2);
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
  posix_spawnattr_setflags(&attr.attr,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::vector<char*> argv;
  argv.reserve(command.args.size() + 2);
  argv.push_back(const_cast<char*>(command.program.c_str()));
  for (const std::string& a : command.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  envp.reserve(env.entries.size() + 1);
  for (const std::string& e : env.entries) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  constexpr int kSpawnTries = 8;
  for (int attempt = 1;; ++attempt) {
    int rc = posix_spawn(&pid, program.c_str(), &actions.fa, &attr.attr, argv.data(), envp.data());
    if (rc != ETXTBSY || attempt == kSpawnTries) return rc;
    std::this_thread::sleep_for(milliseconds(1 << (attempt - 1)));
  }
}

// What one drain of a pipe came to.
struct Drained {
  int error = 0;            // an errno value
  bool end = false;         // end of file
  bool over_limit = false;  // `take` refused the bytes
};

// Reads what is available from `fd`, handing it to `take` (which returns
// false to refuse it). Stops after 1 MiB, the largest a pipe holds by
// default, so a child that writes as fast as we read cannot keep this thread
// from its time limit and its cancellation checks.
template <class Take>
Drained drain(int fd, Take&& take) {
  char buf[65536];
  for (int reads = 0; reads < 16; ++reads) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      if (!take(std::string_view(buf, static_cast<size_t>(n)))) return {.over_limit = true};
      if (static_cast<size_t>(n) < sizeof buf) break;
      continue;
    }
    if (n == 0) return {.end = true};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    return {.error = errno};
  }
  return {};
}

// Appends to standard output unless that would pass kMaxStdoutBytes. Grows
// the buffer at most to the limit, never to twice the limit.
bool append_capped(std::string& out, std::string_view bytes) {
  if (bytes.size() > kMaxStdoutBytes - out.size()) return false;
  if (out.capacity() - out.size() < bytes.size()) {
    out.reserve(std::min(kMaxStdoutBytes, std::max(out.size() + bytes.size(), 2 * out.capacity())));
  }
  out.append(bytes);
  return true;
}

int poll_timeout_ms(Clock::duration d) {
  if (d <= Clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<milliseconds>(d).count();
  return static_cast<int>(std::min<int64_t>(ms, kExitCheckInterval.count()));
}

}  // namespace

void HeadTail::append(std::string_view bytes) {
  total_ += bytes.size();
  size_t to_head = std::min(bytes.size(), kPart - head_.size());
  head_.append(bytes.substr(0, to_head));
  bytes.remove_prefix(to_head);
  if (bytes.empty()) return;
  if (bytes.size() >= kPart) {  // only its last kPart bytes can stay
    tail_.assign(bytes.substr(bytes.size() - kPart));
    ring_start_ = 0;
    return;
  }
  if (tail_.size() < kPart) {
    tail_.reserve(kPart);
    size_t n = std::min(bytes.size(), kPart - tail_.size());
    tail_.append(bytes.substr(0, n));
    bytes.remove_prefix(n);
  }
  // The ring is full: the new bytes overwrite the oldest.
  while (!bytes.empty()) {
    size_t n = std::min(bytes.size(), kPart - ring_start_);
    std::copy_n(bytes.data(), n, tail_.begin() + static_cast<std::ptrdiff_t>(ring_start_));
    ring_start_ = (ring_start_ + n) % kPart;
    bytes.remove_prefix(n);
  }
}

std::string HeadTail::text() const {
  std::string out = head_;
  size_t left_out = total_ - head_.size() - tail_.size();
  if (left_out > 0) {
    out += "\n[... " + std::to_string(left_out) + " bytes of standard error left out ...]\n";
  }
  out.append(tail_, ring_start_);
  out.append(tail_, 0, ring_start_);
  return out;
}

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

  // Registered before its first descriptor exists; unregistered (and its
  // descriptors closed) after `child` below has been reaped.
  live_runs::Run run;
  int err = command.pipe_stdin ? run.open_pipe(Fd::kStdinRead, Fd::kStdinWrite)
                               : run.open_null(Fd::kStdinRead);
  if (err == 0) err = run.open_pipe(Fd::kStdoutRead, Fd::kStdoutWrite);
  if (err == 0) err = run.open_pipe(Fd::kStderrRead, Fd::kStderrWrite);
  if (err != 0) return spawn_failure(os_error(err));

  pid_t pid = -1;
  if (int rc = spawn(command, *program, env, run, pid)) return spawn_failure(os_error(rc));
  Child child(pid, run);
  // The child's ends live on only in the child.
  run.close({Fd::kStdinRead, Fd::kStdoutWrite, Fd::kStderrWrite});

  HeadTail err_text;
  auto fail = [&](Stage stage, std::optional<Error> error) {
    child.kill_and_reap();
    c.failed = stage;
    c.error = std::move(error);
    if (stage == Stage::kOutputLimit) std::string().swap(c.out);
    c.err = err_text.text();
    return std::move(c);
  };
  auto is_open = [&](Fd slot) { return run.fd(slot) >= 0; };

  if ((is_open(Fd::kStdinWrite) && !set_nonblocking(run.fd(Fd::kStdinWrite))) ||
      !set_nonblocking(run.fd(Fd::kStdoutRead)) || !set_nonblocking(run.fd(Fd::kStderrRead))) {
    return fail(Stage::kCollect, os_error(errno));
  }

  // Drains one output pipe into its store, closing it at end of file.
  auto drain_pipe = [&](Fd slot) {
    auto to_out = [&](std::string_view b) { return append_capped(c.out, b); };
    auto to_err = [&](std::string_view b) {
      err_text.append(b);
      return true;
    };
    Drained d = slot == Fd::kStdoutRead ? drain(run.fd(slot), to_out) : drain(run.fd(slot), to_err);
    if (d.end) run.close({slot});
    return d;
  };

  std::optional<SigpipeBlock> sigpipe_block;
  if (is_open(Fd::kStdinWrite)) sigpipe_block.emplace();

  const Clock::time_point start = Clock::now();
  Clock::time_point wait_start = start;  // when stdin was closed
  Clock::time_point exit_time{};
  Clock::time_point last_output{};
  Clock::time_point last_cancel = start;
  size_t written = 0;

  auto close_stdin = [&](Clock::time_point now) {
    run.close({Fd::kStdinWrite});
    sigpipe_block.reset();
    wait_start = now;
  };
  if (is_open(Fd::kStdinWrite) && input.empty()) close_stdin(start);

  for (bool first_pass = true;; first_pass = false) {
    Clock::time_point now = Clock::now();
    const bool feeding = is_open(Fd::kStdinWrite);

    if (cancel && now - last_cancel >= kCancelInterval) {
      last_cancel = now;
      if (cancel()) return fail(Stage::kCancelled, std::nullopt);
    }

    // Time limits: the input has its own budget from the start; the wait for
    // the exit is measured from the closing of stdin. The exit is queried once
    // more before a timeout is declared.
    Clock::duration remaining = kExitCheckInterval;
    if (!child.reaped() && limits.timeout) {
      Clock::time_point from = feeding ? start : wait_start;
      Clock::duration elapsed = now - from;
      if (elapsed > *limits.timeout && !(feeding && first_pass)) {
        // Input is always offered once, so even a zero limit delivers what
        // the pipe can take before the exit is queried.
        if (feeding) return fail(Stage::kTimeout, std::nullopt);
        Result<bool> exited = child.poll_exit();
        if (!exited.ok()) return fail(Stage::kWait, exited.error());
        if (!*exited) return fail(Stage::kTimeout, std::nullopt);
        exit_time = last_output = now;
      } else {
        remaining = *limits.timeout - elapsed + std::chrono::microseconds(100);
      }
    }

    if (child.reaped()) {
      bool pipes_open = is_open(Fd::kStdoutRead) || is_open(Fd::kStderrRead);
      if (!pipes_open || now - last_output >= kDrainIdle || now - exit_time >= kDrainMax) {
        // Everything the child wrote before it exited sits in the pipes now.
        // Take it before giving up on them: this thread may have been held
        // up past the deadline before it read a byte since the exit.
        for (Fd slot : {Fd::kStdoutRead, Fd::kStderrRead}) {
          if (!is_open(slot)) continue;
          Drained d = drain_pipe(slot);
          if (d.error) return fail(Stage::kCollect, os_error(d.error));
          if (d.over_limit) return fail(Stage::kOutputLimit, std::nullopt);
        }
        break;
      }
      remaining = std::min<Clock::duration>(remaining, kDrainIdle - (now - last_output));
    }

    // Polled: stdin, stdout and stderr while open, then the pidfd.
    constexpr Fd kPolled[] = {Fd::kStdinWrite, Fd::kStdoutRead, Fd::kStderrRead};
    pollfd fds[4];
    int slot_of[3] = {-1, -1, -1};
    nfds_t nfds = 0;
    for (int i = 0; i < 3; ++i) {
      if (!is_open(kPolled[i])) continue;
      slot_of[i] = static_cast<int>(nfds);
      fds[nfds++] = {run.fd(kPolled[i]), static_cast<short>(i == 0 ? POLLOUT : POLLIN), 0};
    }
    auto ready_at = [&](int i) { return slot_of[i] >= 0 && fds[slot_of[i]].revents != 0; };
    // Only wakes the poll: the exit itself is queried below on every pass.
    if (child.pidfd() >= 0) fds[nfds++] = {child.pidfd(), POLLIN, 0};
    int ready = ::poll(fds, nfds, poll_timeout_ms(remaining));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return fail(Stage::kCollect, os_error(errno));
    }
    now = Clock::now();

    if (ready_at(0)) {
      while (written < input.size()) {
        ssize_t n =
            ::write(run.fd(Fd::kStdinWrite), input.data() + written, input.size() - written);
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

    for (int i : {1, 2}) {
      if (!ready_at(i)) continue;
      size_t before = c.out.size() + err_text.total();
      Drained d = drain_pipe(kPolled[i]);
      if (d.error) return fail(Stage::kCollect, os_error(d.error));
      if (d.over_limit) return fail(Stage::kOutputLimit, std::nullopt);
      if (c.out.size() + err_text.total() != before) last_output = now;
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
  if (is_open(Fd::kStdinWrite)) {
    // The child exited while input was still pending and never broke the
    // pipe (a grandchild holds its read end): that input was not delivered.
    return fail(written < newline_at ? Stage::kWriteInput : Stage::kWriteNewline,
                os_error(EPIPE));
  }
  c.err = err_text.text();
  return c;
}

}  // namespace dovek::runtime
