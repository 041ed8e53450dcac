// The registry of child processes in progress, so that none outlives the host
// and none of their pipes leaks into a forked copy of the host.
//
// Every run_command registers its run for as long as the child may live; the
// run's pipe ends and pidfd are made and closed with the registry lock held,
// so a fork always copies exactly the registered descriptors.
//
// Thread safety: every function may be called from any thread. The lock is a
// plain mutex held for a few system calls at most, never while waiting for a
// child or calling back into the host.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <initializer_list>

namespace dovek::runtime::live_runs {

// Sends SIGKILL to the process group of every child in progress. For the
// host's exit path (a C atexit handler): does not wait, takes no lock that a
// thread could hold for long, never throws.
void kill_all() noexcept;

// Fork protocol, called around os.fork() (os.register_at_fork):
// prepare_fork() takes the registry lock so that no run registers or
// unregisters meanwhile; after_fork_in_parent() releases it;
// after_fork_in_child() closes, in the child, the parent's pipe ends of every
// run in progress (and the pidfds), forgets every run (the child must never
// kill the parent's skills at its own exit), and leaves the registry usable.
void prepare_fork() noexcept;
void after_fork_in_parent() noexcept;
void after_fork_in_child() noexcept;

// The descriptors of one run, by role.
enum class Fd : size_t {
  kStdinRead,
  kStdinWrite,
  kStdoutRead,
  kStdoutWrite,
  kStderrRead,
  kStderrWrite,
  kPidfd,
  kReportRead,  // a relayed start reports through this pipe (runtime/child.cc)
  kReportWrite,
};
inline constexpr size_t kFdCount = 9;

// One run in progress, registered from construction to destruction. It owns
// the run's descriptors and knows the child's process group once there is
// one. Not copyable or movable: the registry points at it.
//
// Thread safety: used by the one thread that carries the run; the registry
// reads it (and a forked child rewrites it) under the registry lock.
class Run {
 public:
  Run();
  // Unregisters the run, then closes its descriptors, under the lock.
  ~Run();
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // The descriptor in `slot`, or -1.
  int fd(Fd slot) const { return fds_[static_cast<size_t>(slot)]; }

  // A pipe from pipe2(O_CLOEXEC) into two slots, both ends moved to 3 or
  // above (so that dup2() onto 0, 1 or 2 in the child never meets itself).
  // Returns 0 or an errno value.
  int open_pipe(Fd read_end, Fd write_end);
  // The null device, read-only, into `slot`. Returns 0 or an errno value.
  int open_null(Fd slot);
  // Closes the descriptors in `slots` (those still open).
  void close(std::initializer_list<Fd> slots);

  // Records the started child `pid` (its own process group leader) so that
  // kill_all can reach its group, and opens a pidfd for it into kPidfd (which
  // stays -1 when the kernel has none). REQUIRES: pid > 0.
  void started(pid_t pid);
  // Forgets the group before its leader is reaped, so that kill_all never
  // signals a process id the system has handed out again.
  void forget_group();
  pid_t group() const { return group_; }

  // True in a forked copy of the host after after_fork_in_child(): the
  // child process and the descriptors belong to the parent; this copy has
  // no descriptors left and must neither signal nor wait for the child.
  bool orphaned() const { return orphaned_; }

 private:
  friend void after_fork_in_child() noexcept;
  friend void kill_all() noexcept;

  void close_all_locked();

  // Written under the registry lock; read by the owning thread without it.
  std::array<int, kFdCount> fds_;
  pid_t group_ = 0;
  bool orphaned_ = false;
};

}  // namespace dovek::runtime::live_runs
