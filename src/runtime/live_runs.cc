#include "runtime/live_runs.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace dovek::runtime::live_runs {

namespace {

// A pthread mutex rather than std::mutex: the forked child re-initialises it
// in place, which std::mutex has no way to do.
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

// Never destroyed: kill_all may run from an exit handler after static
// destructors have started.
std::vector<Run*>& runs() {
  static auto* const all = new std::vector<Run*>();
  return *all;
}

class Locked {
 public:
  Locked() { pthread_mutex_lock(&g_lock); }
  ~Locked() { pthread_mutex_unlock(&g_lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

// Moves `fd` to 3 or above, keeping close-on-exec. Returns the descriptor to
// keep (closing the old one when it moved), or -1 with errno.
int lift_above_stdio(int fd) {
  if (fd > 2) return fd;
  int lifted = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int saved = errno;
  ::close(fd);
  errno = saved;
  return lifted;
}

}  // namespace

Run::Run() {
  fds_.fill(-1);
  Locked lock;
  runs().push_back(this);
}

Run::~Run() {
  Locked lock;
  std::vector<Run*>& all = runs();
  auto it = std::find(all.begin(), all.end(), this);
  if (it != all.end()) {
    *it = all.back();
    all.pop_back();
  }
  close_all_locked();
}

void Run::close_all_locked() {
  for (int& fd : fds_) {
    if (fd >= 0) ::close(fd);  // Linux frees the descriptor even on EINTR: no retry
    fd = -1;
  }
}

int Run::open_pipe(Fd read_end, Fd write_end) {
  Locked lock;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return errno;
  int err = 0;
  for (int i = 0; i < 2; ++i) {
    int kept = lift_above_stdio(fds[i]);
    if (kept < 0) err = errno;
    fds_[static_cast<size_t>(i == 0 ? read_end : write_end)] = kept;
  }
  return err;
}

int Run::open_null(Fd slot) {
  Locked lock;
  int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) fd = lift_above_stdio(fd);
  if (fd < 0) return errno;
  fds_[static_cast<size_t>(slot)] = fd;
  return 0;
}

void Run::close(std::initializer_list<Fd> slots) {
  Locked lock;
  for (Fd slot : slots) {
    int& fd = fds_[static_cast<size_t>(slot)];
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void Run::started(pid_t pid) {
  Locked lock;
  group_ = pid;
#ifdef SYS_pidfd_open
  int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) fds_[static_cast<size_t>(Fd::kPidfd)] = fd;
#endif
}

void Run::forget_group() {
  Locked lock;
  group_ = 0;
}

void kill_all() noexcept {
  Locked lock;
  for (Run* run : runs()) {
    if (run->group_ > 0) ::kill(-run->group_, SIGKILL);
  }
}

void prepare_fork() noexcept { pthread_mutex_lock(&g_lock); }

void after_fork_in_parent() noexcept { pthread_mutex_unlock(&g_lock); }

void after_fork_in_child() noexcept {
  // Only the forking thread exists here, and it holds the lock through
  // prepare_fork(); a fresh mutex is the safe way out of that state.
  pthread_mutex_init(&g_lock, nullptr);
  for (Run* run : runs()) {
    // The copies of the runs of other threads live on in this process's
    // memory but will never run again; one of the forking thread's own would.
    run->close_all_locked();
    run->group_ = 0;
    run->orphaned_ = true;
  }
  runs().clear();
}

}  // namespace dovek::runtime::live_runs
