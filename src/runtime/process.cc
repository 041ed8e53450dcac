#include "runtime/process.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <utility>

#include "runtime/child.h"
#include "runtime/fs.h"
#include "runtime/head_tail.h"
#include "runtime/live_runs.h"
#include "runtime/pipe_io.h"

namespace dovek::runtime {

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
  // Named in the cause, so that a Python traceback says which program is
  // missing; callers show only their own message.
  return context("find `" + program + "` on PATH", os_error(err));
}

namespace {

using Clock = std::chrono::steady_clock;
using live_runs::Fd;
using std::chrono::milliseconds;

constexpr milliseconds kExitCheckInterval{10};
constexpr milliseconds kCancelInterval{50};
constexpr milliseconds kDrainIdle{100};
constexpr milliseconds kDrainMax{1000};

int poll_timeout_ms(Clock::duration d) {
  if (d <= Clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<milliseconds>(d).count();
  return static_cast<int>(std::min<int64_t>(ms, kExitCheckInterval.count()));
}

// The descriptors one pass of the loop waits on: stdin, stdout and stderr
// while open, then the pidfd. The pidfd only wakes the poll: the exit itself
// is queried on every pass.
class PollSet {
 public:
  static constexpr Fd kPolled[] = {Fd::kStdinWrite, Fd::kStdoutRead, Fd::kStderrRead};

  PollSet(const live_runs::Run& run, int pidfd) {
    for (size_t i = 0; i < 3; ++i) {
      int fd = run.fd(kPolled[i]);
      if (fd < 0) continue;
      index_[i] = static_cast<int>(count_);
      fds_[count_++] = {fd, static_cast<short>(i == 0 ? POLLOUT : POLLIN), 0};
    }
    if (pidfd >= 0) fds_[count_++] = {pidfd, POLLIN, 0};
  }

  // poll() for at most `wait`, and never longer than the exit check
  // interval. Returns what poll() returns.
  int wait(Clock::duration d) { return ::poll(fds_, count_, poll_timeout_ms(d)); }

  // Whether kPolled[i] was open and is ready (or closed at the other end).
  bool ready(size_t i) const { return index_[i] >= 0 && fds_[index_[i]].revents != 0; }

 private:
  pollfd fds_[4];
  int index_[3] = {-1, -1, -1};
  nfds_t count_ = 0;
};

// Carries a started child to its end in one poll loop: feeds stdin, drains
// stdout and stderr, notices the exit, and keeps the time limits and the
// cancellation check. Every failure kills the child's group and reaps the
// child before the loop returns.
//
// Thread safety: lives on the stack of the one thread that carries the run.
class RunLoop {
 public:
  RunLoop(live_runs::Run& run, Child& child, std::string_view input, size_t newline_at,
          const Limits& limits, const CancelCheck& cancel)
      : run_(run),
        child_(child),
        input_(input),
        newline_at_(newline_at),
        limits_(limits),
        cancel_(cancel) {}
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  Completion run() {
    if (start() == Next::kFailed) return std::move(c_);
    for (bool first_pass = true;; first_pass = false) {
      Next next = pass(first_pass);
      if (next == Next::kFailed) return std::move(c_);
      if (next == Next::kDone) return finish();
    }
  }

 private:
  enum class Next { kGoOn, kDone, kFailed };

  Next start();
  Next pass(bool first_pass);
  Next check_deadline(Clock::time_point now, bool first_pass, Clock::duration& wait);
  Next check_drained(Clock::time_point now, Clock::duration& wait);
  Next on_ready(const PollSet& set, Clock::time_point now);
  Next drain(Fd slot);
  Completion finish();
  Next fail(Stage stage, std::optional<Error> error = std::nullopt);

  bool is_open(Fd slot) const { return run_.fd(slot) >= 0; }
  Stage write_stage() const {
    return written_ < newline_at_ ? Stage::kWriteInput : Stage::kWriteNewline;
  }
  void close_stdin(Clock::time_point now) {
    run_.close({Fd::kStdinWrite});
    sigpipe_block_.reset();
    wait_start_ = now;
  }

  live_runs::Run& run_;
  Child& child_;
  const std::string_view input_;
  const size_t newline_at_;
  const Limits& limits_;
  const CancelCheck& cancel_;

  Completion c_;
  HeadTail err_;
  std::optional<SigpipeBlock> sigpipe_block_;  // while stdin is open
  size_t written_ = 0;                         // bytes of input_ delivered
  Clock::time_point start_;
  Clock::time_point wait_start_;  // when stdin was closed
  Clock::time_point exit_time_{};
  Clock::time_point last_output_{};
  Clock::time_point last_cancel_;
};

RunLoop::Next RunLoop::start() {
  if ((is_open(Fd::kStdinWrite) && !set_nonblocking(run_.fd(Fd::kStdinWrite))) ||
      !set_nonblocking(run_.fd(Fd::kStdoutRead)) || !set_nonblocking(run_.fd(Fd::kStderrRead))) {
    return fail(Stage::kCollect, os_error(errno));
  }
  if (is_open(Fd::kStdinWrite)) sigpipe_block_.emplace();
  start_ = wait_start_ = last_cancel_ = Clock::now();
  if (is_open(Fd::kStdinWrite) && input_.empty()) close_stdin(start_);
  return Next::kGoOn;
}

RunLoop::Next RunLoop::pass(bool first_pass) {
  Clock::time_point now = Clock::now();
  if (cancel_ && now - last_cancel_ >= kCancelInterval) {
    last_cancel_ = now;
    if (cancel_()) return fail(Stage::kCancelled);
  }
  Clock::duration wait = kExitCheckInterval;
  Next next = check_deadline(now, first_pass, wait);
  if (next == Next::kGoOn && child_.reaped()) next = check_drained(now, wait);
  if (next != Next::kGoOn) return next;

  PollSet set(run_, child_.pidfd());
  if (set.wait(wait) < 0) {
    if (errno == EINTR) return Next::kGoOn;
    return fail(Stage::kCollect, os_error(errno));
  }
  return on_ready(set, Clock::now());
}

// Time limits: the input has its own budget from the start; the wait for the
// exit is measured from the closing of stdin. The exit is queried once more
// before a timeout is declared. Shortens `wait` to the time left.
RunLoop::Next RunLoop::check_deadline(Clock::time_point now, bool first_pass,
                                      Clock::duration& wait) {
  if (child_.reaped() || !limits_.timeout) return Next::kGoOn;
  const bool feeding = is_open(Fd::kStdinWrite);
  Clock::duration elapsed = now - (feeding ? start_ : wait_start_);
  // Input is always offered once, so even a zero limit delivers what the
  // pipe can take before the exit is queried.
  if (elapsed <= *limits_.timeout || (feeding && first_pass)) {
    wait = *limits_.timeout - elapsed + std::chrono::microseconds(100);
    return Next::kGoOn;
  }
  if (feeding) return fail(Stage::kTimeout);
  Result<bool> exited = child_.poll_exit();
  if (!exited.ok()) return fail(Stage::kWait, exited.error());
  if (!*exited) return fail(Stage::kTimeout);
  exit_time_ = last_output_ = now;
  return Next::kGoOn;
}

// After the exit, output is read until end of file or until the pipes have
// been idle kDrainIdle (at most kDrainMax), so a grandchild that keeps them
// open cannot hold the caller.
RunLoop::Next RunLoop::check_drained(Clock::time_point now, Clock::duration& wait) {
  bool pipes_open = is_open(Fd::kStdoutRead) || is_open(Fd::kStderrRead);
  if (pipes_open && now - last_output_ < kDrainIdle && now - exit_time_ < kDrainMax) {
    wait = std::min<Clock::duration>(wait, kDrainIdle - (now - last_output_));
    return Next::kGoOn;
  }
  // Everything the child wrote before it exited sits in the pipes now. Take
  // it before giving up on them: this thread may have been held up past the
  // deadline before it read a byte since the exit.
  for (Fd slot : {Fd::kStdoutRead, Fd::kStderrRead}) {
    if (!is_open(slot)) continue;
    if (Next next = drain(slot); next == Next::kFailed) return next;
  }
  return Next::kDone;
}

RunLoop::Next RunLoop::on_ready(const PollSet& set, Clock::time_point now) {
  if (set.ready(0)) {
    Written w = write_available(run_.fd(Fd::kStdinWrite), input_.substr(written_));
    written_ += w.bytes;
    if (w.error != 0) return fail(write_stage(), os_error(w.error));
    if (written_ == input_.size()) close_stdin(now);
  }
  for (size_t i = 1; i < 3; ++i) {
    if (!set.ready(i)) continue;
    size_t before = c_.out.size() + err_.total();
    if (Next next = drain(PollSet::kPolled[i]); next == Next::kFailed) return next;
    if (c_.out.size() + err_.total() != before) last_output_ = now;
  }
  // Exit is checked on every pass: the pidfd wakes the poll at once, and
  // without one the poll returns within 10 ms anyway.
  if (!child_.reaped()) {
    Result<bool> exited = child_.poll_exit();
    if (!exited.ok()) return fail(Stage::kWait, exited.error());
    if (*exited) exit_time_ = last_output_ = now;
  }
  return Next::kGoOn;
}

// Drains one output pipe into its store, closing it at end of file.
RunLoop::Next RunLoop::drain(Fd slot) {
  int fd = run_.fd(slot);
  Drained d =
      slot == Fd::kStdoutRead ? drain_capped(fd, c_.out, kMaxStdoutBytes) : drain_into(fd, err_);
  if (d.end) run_.close({slot});
  if (d.error != 0) return fail(Stage::kCollect, os_error(d.error));
  if (d.over_limit) return fail(Stage::kOutputLimit);
  return Next::kGoOn;
}

Completion RunLoop::finish() {
  c_.status = child_.status();
  if (is_open(Fd::kStdinWrite)) {
    // The child exited while input was still pending and never broke the
    // pipe (a grandchild holds its read end): that input was not delivered.
    fail(write_stage(), os_error(EPIPE));
    return std::move(c_);
  }
  c_.err = err_.text();
  return std::move(c_);
}

RunLoop::Next RunLoop::fail(Stage stage, std::optional<Error> error) {
  child_.kill_and_reap();
  c_.failed = stage;
  c_.error = std::move(error);
  if (stage == Stage::kOutputLimit) std::string().swap(c_.out);
  c_.err = err_.text();
  return Next::kFailed;
}

// A failure to start the child.
Completion spawn_failure(Error error) {
  Completion c;
  c.failed = Stage::kSpawn;
  c.error = std::move(error);
  return c;
}

// Opens the run's pipes: stdin from a pipe or the null device, stdout and
// stderr to pipes. Returns 0 or an errno value.
int open_pipes(live_runs::Run& run, bool pipe_stdin) {
  int err =
      pipe_stdin ? run.open_pipe(Fd::kStdinRead, Fd::kStdinWrite) : run.open_null(Fd::kStdinRead);
  if (err == 0) err = run.open_pipe(Fd::kStdoutRead, Fd::kStdoutWrite);
  if (err == 0) err = run.open_pipe(Fd::kStderrRead, Fd::kStderrWrite);
  return err;
}

}  // namespace

Completion run_command(const Command& command, std::string_view input, size_t newline_at,
                       const Limits& limits, const Environment& env, const CancelCheck& cancel) {
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
  if (int err = open_pipes(run, command.pipe_stdin)) return spawn_failure(os_error(err));
  Result<pid_t> pid = spawn_child(command, *program, env, run);
  if (!pid.ok()) return spawn_failure(pid.error());
  Child child(*pid, run);
  // The child's ends live on only in the child.
  run.close({Fd::kStdinRead, Fd::kStdoutWrite, Fd::kStderrWrite});

  RunLoop loop(run, child, input, newline_at, limits, cancel);
  return loop.run();
}

}  // namespace dovek::runtime
