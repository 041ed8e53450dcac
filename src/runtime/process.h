// Child processes for skills and build tools: a vfork-style clone with three
// pipes in a process group of its own, and one poll loop that feeds stdin, drains
// stdout and stderr, and notices the exit as soon as it happens. The loop is
// here; starting and reaping the child is child.h, the bounded pipe reads and
// writes pipe_io.h, the store for standard error head_tail.h.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "runtime/environment.h"

namespace dovek::runtime {

// How a process ended.
struct ExitStatus {
  std::optional<int> code;  // absent when a signal ended the process
  int signal = 0;

  bool success() const { return code && *code == 0; }
  // "Some(3)" for exit code 3, "None" for death by a signal.
  std::string describe() const;
};

struct Command {
  // A path, or a bare name (no '/') looked up in the captured PATH.
  std::string program;
  std::vector<std::string> args;  // not including argv[0]
  // Working directory of the child; absent means the host's.
  std::optional<std::string> cwd;
  // When false the child's stdin is the null device and `input` is ignored.
  bool pipe_stdin = true;
};

// The time limit runs from the closing of the child's stdin; writing the input
// has a budget of the same length of its own. Absent means no limit.
struct Limits {
  std::optional<std::chrono::nanoseconds> timeout;
};

// Turns seconds plus nanoseconds into a limit; a value too large for the
// monotonic clock means no limit.
Limits limits_for(uint64_t seconds, uint32_t nanos);

// Which step of a run failed.
enum class Stage {
  kNone,
  kSpawn,         // the child could not be started
  kWriteInput,    // writing the input body failed
  kWriteNewline,  // writing its final line feed failed
  kWait,          // the exit status query failed
  kCollect,       // reading the output failed
  kTimeout,       // the limit passed (input or wait)
  kCancelled,     // the cancellation check asked to stop
  kOutputLimit,   // standard output grew past kMaxStdoutBytes
};

// Standard output is the skill's answer and is kept whole, up to this size;
// a child that writes more is killed with its group (Stage::kOutputLimit).
inline constexpr size_t kMaxStdoutBytes = size_t{64} << 20;

struct Completion {
  Stage failed = Stage::kNone;
  // The OS error of a failed stage (spawn, write, wait, collect).
  std::optional<Error> error;
  ExitStatus status;
  std::string out;  // at most kMaxStdoutBytes; emptied on kOutputLimit
  std::string err;  // as HeadTail::text() gives it (runtime/head_tail.h)
};

// Resolves a bare program name in `path_var` (the captured PATH; absent
// means "/bin:/usr/bin"); a name with a '/' is made absolute against the
// current directory, since the child resolves it after changing directory.
[[nodiscard]] Result<std::string> resolve_program(const std::string& program,
                                                  const std::optional<std::string>& path_var);

// Starts `command` and carries it to its end: writes `input` (then closes
// stdin), drains stdout and stderr all along, and waits for the exit under
// `limits`. The child gets `env.entries` as its environment, SIGPIPE and
// SIGXFSZ at their default action, an empty signal mask and its own process
// group; its exit status is kept whatever the host does with SIGCHLD. On a
// timeout, a cancellation or any failure after the start, the whole group is
// killed and the child reaped before this returns: no process is left behind.
// Standard output past kMaxStdoutBytes fails the run the same way; standard
// error is drained to its end but only its head and tail are kept (HeadTail).
// The run is registered in live_runs while the child may live. A start that
// fails with ETXTBSY (a concurrent fork holding a just-written executable
// open for writing) is retried a few times within ~130 ms.
// After a normal exit, output is read until end of file or until the pipes
// have been idle ~100 ms (at most ~1 s), so a grandchild that keeps them open
// cannot hold the caller. `cancel` (may be empty) is asked about every 50 ms;
// it may end the thread by unwinding (a forced unwind from pthread_exit):
// the child is then still killed and reaped on the way out. `newline_at` is
// the offset in `input` from which a failed write counts as kWriteNewline.
//
// Thread safety: any number of threads may run children; they share only the
// live-runs registry.
Completion run_command(const Command& command, std::string_view input, size_t newline_at,
                       const Limits& limits, const Environment& env, const CancelCheck& cancel);

}  // namespace dovek::runtime
