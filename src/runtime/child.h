// Starting a child process and reaping it: a vfork-style clone with the
// run's pipe ends as its stdio, in a process group of its own, and an owner
// that never leaves it behind.
#pragma once

#include <sys/types.h>

#include <string>

#include "base/error.h"
#include "runtime/environment.h"
#include "runtime/live_runs.h"
#include "runtime/process.h"

namespace dovek::runtime {

// Starts `command` as `program` (already resolved) with the child's ends of
// `run`'s pipes (kStdinRead, kStdoutWrite, kStderrWrite) as its stdio and
// `env.entries` as its environment; only those three descriptors reach it.
// The child gets every signal the host catches, and SIGPIPE, SIGXFSZ and
// SIGCHLD when ignored, at their default action, an empty signal mask and a
// process group of its own. Returns its pid, or the OS error.
//
// When the host ignores SIGCHLD (or set SA_NOCLDWAIT) at the start, the
// kernel would discard the exit status of a child that execs; the program
// is then started through a relay, a copy of the host that leads the
// group, waits for the program and ends the same way (see child.cc), and
// the pid returned is the relay's. Children are waited for with __WALL.
//
// An executable written moments ago may still be open for writing in a
// child that another thread forked (or spawned) before the writer closed it,
// if it was not opened with O_CLOEXEC; exec then fails with ETXTBSY until that
// child execs or exits. That is retried, backing off 1, 2, 4, ... 64 ms
// (127 ms in all), which outlasts a loaded machine's delay before that exec.
[[nodiscard]] Result<pid_t> spawn_child(const Command& command, const std::string& program,
                                        const Environment& env, live_runs::Run& run);

// A started child in its own process group, registered in `run`. Reaps a
// child it still owns in its destructor (after killing its group), so no
// path leaves a zombie: also not a forced unwind out of the cancellation
// check. In a forked copy of the host the child belongs to the parent and is
// left alone.
//
// Thread safety: used by the one thread that carries the run.
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
  int pidfd() const { return reaped_ ? -1 : run_.fd(live_runs::Fd::kPidfd); }
  bool reaped() const { return reaped_; }
  const ExitStatus& status() const { return status_; }

  // Non-blocking exit query. Returns whether the child has exited (and is
  // now reaped); the error is the OS error of the query.
  [[nodiscard]] Result<bool> poll_exit();

  // SIGKILL to the whole group, then reap the child. Failures of both are
  // ignored: the child may be gone already.
  void kill_and_reap();

 private:
  // Waits for the child, which has exited or been sent SIGKILL.
  void reap();

  pid_t pid_;
  live_runs::Run& run_;
  bool reaped_ = false;
  ExitStatus status_;
};

}  // namespace dovek::runtime
