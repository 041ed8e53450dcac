#include "runtime/child.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "runtime/fs.h"

namespace dovek::runtime {

namespace {

using live_runs::Fd;

// What the child does between the clone and the exec, prepared by the
// parent: the child shares the parent's memory and may only make system
// calls (no allocation, no lock, no sanitizer bookkeeping).
struct SpawnPlan {
  const char* program;
  char* const* argv;
  char* const* envp;
  const char* cwd;  // nullptr: the host's
  int stdio[3];
  // Written by the child when a step fails; read by the parent once the
  // child has exited (CLONE_VFORK holds the parent until then).
  volatile int error;
};

// The kernel's sigaction layout for rt_sigaction: the child calls the kernel
// directly rather than the C library's wrapper.
struct KernelSigaction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  uint64_t mask;
};

long raw(long number, long a = 0, long b = 0, long c = 0, long d = 0)
    __attribute__((no_sanitize("address", "thread", "undefined")));
long raw(long number, long a, long b, long c, long d) { return syscall(number, a, b, c, d); }

// Runs in the child: every signal the host catches back at its default (the
// host's handlers must never run in this copy), and the signals the
// interpreter ignores at start-up too (SIGPIPE, SIGXFSZ), as Python's
// subprocess does; then its own process group, the pipes as stdio, nothing
// else inherited, the working directory, an empty signal mask, and the exec.
// All signals are blocked from before the clone until the exec.
int spawn_main(void* arg) __attribute__((no_sanitize("address", "thread", "undefined")));
int spawn_main(void* arg) {
  SpawnPlan* plan = static_cast<SpawnPlan*>(arg);
  constexpr int kLastSignal = 64;
  for (int sig = 1; sig <= kLastSignal; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    KernelSigaction old{};
    if (raw(SYS_rt_sigaction, sig, 0, reinterpret_cast<long>(&old), 8) != 0) continue;
    bool reset =
        old.handler == SIG_IGN ? (sig == SIGPIPE || sig == SIGXFSZ) : old.handler != SIG_DFL;
    if (!reset) continue;
    KernelSigaction dfl{};
    dfl.handler = SIG_DFL;
    raw(SYS_rt_sigaction, sig, reinterpret_cast<long>(&dfl), 0, 8);
  }
  long r = raw(SYS_setpgid, 0, 0);
  // The pipe ends are all above 2 (live_runs lifts them), so dup3 never
  // meets a descriptor onto itself; the copies are not close-on-exec.
  for (int i = 0; r >= 0 && i < 3; ++i) r = raw(SYS_dup3, plan->stdio[i], i, 0);
  if (r >= 0) {
#ifdef SYS_close_range
    // Only 0, 1 and 2 reach the child, whatever the host left inheritable.
    // Kernels before 5.9 lack close_range; every descriptor of the runtime is
    // close-on-exec anyway.
    raw(SYS_close_range, 3, ~0U, 0);
#endif
    r = plan->cwd != nullptr ? raw(SYS_chdir, reinterpret_cast<long>(plan->cwd)) : 0;
  }
  if (r == 0) {
    uint64_t empty = 0;
    r = raw(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&empty), 0, 8);
  }
  if (r == 0) {
    raw(SYS_execve, reinterpret_cast<long>(plan->program), reinterpret_cast<long>(plan->argv),
        reinterpret_cast<long>(plan->envp));
  }
  plan->error = errno != 0 ? errno : ECHILD;
  for (;;) raw(SYS_exit, 127);
}

// Blocks every signal in the calling thread for its lifetime: the child
// starts in this thread's memory, and none of the host's handlers may run
// there before it has reset them.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved_);
  }
  ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

 private:
  sigset_t saved_;
};

// The child's stack, used only until its exec.
class SpawnStack {
 public:
  static constexpr size_t kSize = size_t{64} << 10;
  SpawnStack()
      : base_(mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                   -1, 0)) {}
  ~SpawnStack() {
    if (base_ != MAP_FAILED) munmap(base_, kSize);
  }
  SpawnStack(const SpawnStack&) = delete;
  SpawnStack& operator=(const SpawnStack&) = delete;

  bool ok() const { return base_ != MAP_FAILED; }
  void* top() const { return static_cast<char*>(base_) + kSize; }

 private:
  void* base_;
};

// Starts the child and waits (through CLONE_VFORK) until it has exec'd or
// given up. The child is started with no exit signal: Linux reaps a child
// by itself when the host ignores SIGCHLD only if its exit signal is
// SIGCHLD, so this one keeps its status for us whatever the host's
// disposition, and a host's own wait for any child never takes it either.
// Returns the pid, or the errno of the clone or of the child's failed step
// (the child is then reaped here).
Result<pid_t> clone_child(SpawnPlan& plan) {
  SpawnStack stack;
  if (!stack.ok()) return os_error(errno);
  plan.error = 0;
  pid_t pid;
  int clone_errno;
  {
    AllSignalsBlocked blocked;
    pid = ::clone(spawn_main, stack.top(), CLONE_VM | CLONE_VFORK, &plan);
    clone_errno = errno;
  }
  if (pid < 0) return os_error(clone_errno);
  if (int err = plan.error; err != 0) {
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | __WALL) != 0 && errno == EINTR) {
    }
    return os_error(err);
  }
  return pid;
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
  std::vector<char*> argv = c_strings(command.args, &command.program);
  std::vector<char*> envp = c_strings(env.entries);
  SpawnPlan plan{program.c_str(),
                 argv.data(),
                 envp.data(),
                 command.cwd ? command.cwd->c_str() : nullptr,
                 {run.fd(Fd::kStdinRead), run.fd(Fd::kStdoutWrite), run.fd(Fd::kStderrWrite)},
                 0};

  constexpr int kSpawnTries = 8;
  for (int attempt = 1;; ++attempt) {
    Result<pid_t> pid = clone_child(plan);
    if (pid.ok() || plan.error != ETXTBSY || attempt == kSpawnTries) return pid;
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
    r = waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT | __WALL);
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
    r = waitpid(pid_, &status, __WALL);
  } while (r < 0 && errno == EINTR);
  reaped_ = true;
  run_.close({Fd::kPidfd});
  if (r == pid_) status_ = from_wait_status(status);
}

}  // namespace dovek::runtime
