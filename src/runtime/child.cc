#include "runtime/child.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
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

// The C library's clone, as it takes a function and a stack.
using CloneFn = int (*)(int (*)(void*), void*, int, void*, ...);

// The C library's own clone rather than a sanitizer's wrapper of it:
// ThreadSanitizer takes every clone for a fork and then refuses to start
// threads in the host. Resolved once, before any child needs it.
CloneFn libc_clone() {
  static const CloneFn fn = [] {
    void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    void* sym = libc != nullptr ? dlsym(libc, "clone") : nullptr;
    return sym != nullptr ? reinterpret_cast<CloneFn>(sym) : &::clone;
  }();
  return fn;
}

// What the child does between the clone and the exec, prepared by the
// host. The child shares the memory of whoever cloned it and may only make
// system calls (no allocation, no lock, no sanitizer bookkeeping).
struct SpawnPlan {
  const char* program;
  char* const* argv;
  char* const* envp;
  const char* cwd;  // nullptr: the host's
  int stdio[3];
  // Relayed start only: the write end of the report pipe, and the top of
  // the stack the relay starts the child on.
  int report_fd;
  void* child_stack;
  CloneFn clone_fn;
  // Written by the child when a step fails; read by whoever cloned it once
  // it has exited (CLONE_VFORK holds that one until then).
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

#define DOVEK_NO_SANITIZE __attribute__((no_sanitize("address", "thread", "undefined")))

DOVEK_NO_SANITIZE long raw(long number, long a = 0, long b = 0, long c = 0, long d = 0) {
  return syscall(number, a, b, c, d);
}

// Every signal the host catches back at its default (none of the host's
// handlers may run in a copy of it), and SIGPIPE, SIGXFSZ and SIGCHLD too
// when ignored: the interpreter ignores the first two at start-up (Python's
// subprocess resets them likewise), and a daemon-style host may ignore the
// third, which would make the kernel discard the exit status of the
// process's own children. Other ignored signals stay ignored.
DOVEK_NO_SANITIZE void reset_signals() {
  constexpr int kLastSignal = 64;
  for (int sig = 1; sig <= kLastSignal; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    KernelSigaction old{};
    if (raw(SYS_rt_sigaction, sig, 0, reinterpret_cast<long>(&old), 8) != 0) continue;
    bool reset = old.handler == SIG_IGN ? (sig == SIGPIPE || sig == SIGXFSZ || sig == SIGCHLD)
                                        : old.handler != SIG_DFL;
    if (!reset) continue;
    KernelSigaction dfl{};
    dfl.handler = SIG_DFL;
    raw(SYS_rt_sigaction, sig, reinterpret_cast<long>(&dfl), 0, 8);
  }
}

// Closes every descriptor from `first` up.
DOVEK_NO_SANITIZE void close_from(int first) {
#ifdef SYS_close_range
  if (raw(SYS_close_range, first, ~0U, 0) == 0) return;
#endif
  // Kernels before 5.9 lack close_range.
  for (int fd = first; fd < (1 << 16); ++fd) raw(SYS_close, fd);
}

// Runs in the child: signals reset (above), the pipes as stdio, nothing
// else inherited, the working directory, an empty signal mask, the exec.
// All signals are blocked from before the clone until the exec. A child
// started directly makes its own process group; one started by the relay
// stays in the relay's.
DOVEK_NO_SANITIZE int spawn_main(void* arg) {
  SpawnPlan* plan = static_cast<SpawnPlan*>(arg);
  reset_signals();
  long r = plan->report_fd < 0 ? raw(SYS_setpgid, 0, 0) : 0;
  // The pipe ends are all above 2 (live_runs lifts them), so dup3 never
  // meets a descriptor onto itself; the copies are not close-on-exec.
  for (int i = 0; r >= 0 && i < 3; ++i) r = raw(SYS_dup3, plan->stdio[i], i, 0);
  if (r >= 0) {
    // Only 0, 1 and 2 reach the program, whatever the host left inheritable.
    close_from(3);
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

// Runs in the relay, a copy of the host that never execs: when the host
// ignores SIGCHLD the kernel discards the status of every child that has
// exec'd, so the program is started as the relay's child instead, and the
// relay ends the way the program ended, which the host (whose child the
// relay is, with no exit signal) can always collect. The relay leads the
// process group; the program joins it, so killing the group kills both.
// A failed start is reported through the report pipe; a successful one
// closes it (with every other descriptor the relay has).
DOVEK_NO_SANITIZE int relay_main(void* arg) {
  SpawnPlan* plan = static_cast<SpawnPlan*>(arg);
  reset_signals();
  int err = 0;
  long pid = raw(SYS_setpgid, 0, 0);
  if (pid == 0) {
    pid = plan->clone_fn(spawn_main, plan->child_stack, CLONE_VM | CLONE_VFORK | SIGCHLD, plan);
  }
  if (pid < 0) {
    err = errno;
  } else if (plan->error != 0) {
    err = plan->error;
  }
  if (err != 0) {
    raw(SYS_write, plan->report_fd, reinterpret_cast<long>(&err), sizeof err);
    for (;;) raw(SYS_exit_group, 127);
  }
  close_from(0);
  int status = 0;
  // Every signal stays blocked here: the relay ends only after the program.
  while (raw(SYS_wait4, pid, reinterpret_cast<long>(&status), __WALL, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) {
    int sig = WTERMSIG(status);
    long no_core[2] = {0, 0};  // the program may have dumped core; the relay must not
    raw(SYS_prlimit64, 0, RLIMIT_CORE, reinterpret_cast<long>(no_core), 0);
    uint64_t only = uint64_t{1} << (sig - 1);
    raw(SYS_rt_sigprocmask, SIG_UNBLOCK, reinterpret_cast<long>(&only), 0, 8);
    raw(SYS_kill, raw(SYS_getpid), sig);
    for (;;) raw(SYS_exit_group, 128 + sig);
  }
  for (;;) raw(SYS_exit_group, WIFEXITED(status) ? WEXITSTATUS(status) : 127);
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

// The stacks of the child and of the relay, used only until the exec (the
// relay's copy of the mapping lives as long as the relay).
class SpawnStack {
 public:
  static constexpr size_t kSize = size_t{128} << 10;
  SpawnStack()
      : base_(mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                   -1, 0)) {}
  ~SpawnStack() {
    if (base_ != MAP_FAILED) munmap(base_, kSize);
  }
  SpawnStack(const SpawnStack&) = delete;
  SpawnStack& operator=(const SpawnStack&) = delete;

  bool ok() const { return base_ != MAP_FAILED; }
  // Two stacks of half the size each.
  void* top() const { return static_cast<char*>(base_) + kSize; }
  void* middle() const { return static_cast<char*>(base_) + kSize / 2; }

 private:
  void* base_;
};

// Whether the kernel would discard the exit status of a child that execs:
// the host ignores SIGCHLD or set SA_NOCLDWAIT.
bool children_auto_reaped() {
  struct sigaction sa;
  if (sigaction(SIGCHLD, nullptr, &sa) != 0) return false;
  return sa.sa_handler == SIG_IGN || (sa.sa_flags & SA_NOCLDWAIT) != 0;
}

void reap_now(pid_t pid) {
  siginfo_t info;
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | __WALL) != 0 && errno == EINTR) {
  }
}

// Starts the program as the host's own child and waits (through
// CLONE_VFORK) until it has exec'd or given up. Returns the pid, or sets
// `err` to the errno of the clone or of the child's failed step (the child
// is then reaped here).
pid_t clone_direct(SpawnPlan& plan, const SpawnStack& stack, int& err) {
  plan.report_fd = -1;
  plan.error = 0;
  pid_t pid;
  {
    AllSignalsBlocked blocked;
    pid = plan.clone_fn(spawn_main, stack.top(), CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
    err = pid < 0 ? errno : 0;
  }
  if (pid > 0 && plan.error != 0) {
    err = plan.error;
    reap_now(pid);
    pid = -1;
  }
  return pid;
}

// Starts the relay (relay_main) and waits on the report pipe until the
// program has exec'd (end of file) or the start failed (its errno). The
// relay is a copy of the host, cloned with no exit signal and no exec, so
// its status is kept for us.
pid_t clone_relayed(SpawnPlan& plan, const SpawnStack& stack, live_runs::Run& run, int& err) {
  err = run.open_pipe(Fd::kReportRead, Fd::kReportWrite);
  if (err != 0) return -1;
  plan.report_fd = run.fd(Fd::kReportWrite);
  plan.child_stack = stack.middle();
  plan.error = 0;
  pid_t pid;
  {
    AllSignalsBlocked blocked;
    pid = plan.clone_fn(relay_main, stack.top(), 0, &plan);
    err = pid < 0 ? errno : 0;
  }
  run.close({Fd::kReportWrite});
  if (pid > 0) {
    int reported = 0;
    ssize_t n;
    do {
      n = ::read(run.fd(Fd::kReportRead), &reported, sizeof reported);
    } while (n < 0 && errno == EINTR);
    if (n == sizeof reported) {
      err = reported;
    } else if (n < 0) {
      err = errno;
      ::kill(pid, SIGKILL);
    }
    if (err != 0) {
      reap_now(pid);
      pid = -1;
    }
  }
  run.close({Fd::kReportRead});
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
                          const Environment& env, live_runs::Run& run) {
  std::vector<char*> argv = c_strings(command.args, &command.program);
  std::vector<char*> envp = c_strings(env.entries);
  SpawnPlan plan{program.c_str(),
                 argv.data(),
                 envp.data(),
                 command.cwd ? command.cwd->c_str() : nullptr,
                 {run.fd(Fd::kStdinRead), run.fd(Fd::kStdoutWrite), run.fd(Fd::kStderrWrite)},
                 -1,
                 nullptr,
                 libc_clone(),
                 0};
  SpawnStack stack;
  if (!stack.ok()) return os_error(errno);
  const bool relayed = children_auto_reaped();

  constexpr int kSpawnTries = 8;
  for (int attempt = 1;; ++attempt) {
    int err = 0;
    pid_t pid = relayed ? clone_relayed(plan, stack, run, err) : clone_direct(plan, stack, err);
    if (pid > 0) return pid;
    if (err != ETXTBSY || attempt == kSpawnTries) return os_error(err);
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
