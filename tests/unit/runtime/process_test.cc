#include "runtime/process.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "runtime/head_tail.h"
#include "runtime/live_runs.h"
#include "test_util.h"

namespace dovek::runtime {
namespace {

using namespace std::chrono_literals;
using testing::head_and_tail;
using testing::TempDir;

Completion sh(const std::string& script, std::string_view input = {}, Limits limits = {},
              const CancelCheck& cancel = nullptr, std::optional<std::string> cwd = {}) {
  Command c;
  c.program = "/bin/sh";
  c.args = {"-c", script};
  c.cwd = std::move(cwd);
  return run_command(c, input, input.size(), limits, capture_environment(), cancel);
}

size_t open_fd_count() {
  size_t n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

// True when `pid` no longer runs (gone, or a zombie waiting for its reaper).
bool process_gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  std::string line;
  std::getline(stat, line);
  size_t paren = line.rfind(')');
  return paren != std::string::npos && line.size() > paren + 2 && line[paren + 2] == 'Z';
}

bool wait_gone(pid_t pid) {
  for (int i = 0; i < 200 && !process_gone(pid); ++i) std::this_thread::sleep_for(10ms);
  return process_gone(pid);
}

// Polls `done` every 10 ms for up to 10 s.
template <class F>
bool wait_for(F&& done) {
  for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(10ms);
  return done();
}

// The first line of `path` once the whole line is there, else "".
std::string first_line(const std::string& path) {
  std::string text = testing::read_file(path);
  size_t end = text.find('\n');
  return end == std::string::npos ? "" : text.substr(0, end);
}

TEST(ProcessTest, ExitStatusAndOutputs) {
  Completion ok = sh("cat; echo err >&2", "hello");
  ASSERT_EQ(ok.failed, Stage::kNone);
  EXPECT_EQ(ok.out, "hello");
  EXPECT_EQ(ok.err, "err\n");
  EXPECT_EQ(ok.status.describe(), "Some(0)");

  Completion three = sh("exit 3");
  EXPECT_EQ(three.status.describe(), "Some(3)");
  Completion killed = sh("kill -9 $$");
  EXPECT_EQ(killed.status.describe(), "None");
  EXPECT_FALSE(killed.status.success());
}

TEST(ProcessTest, SpawnFailures) {
  Command missing;
  missing.program = "no-such-program-dovek";
  Environment env = capture_environment();
  Completion c = run_command(missing, {}, 0, {}, env, nullptr);
  EXPECT_EQ(c.failed, Stage::kSpawn);
  ASSERT_TRUE(c.error);
  EXPECT_EQ(c.error->chain(),
            "find `no-such-program-dovek` on PATH: No such file or directory (os error 2)");

  TempDir dir;
  testing::write_file(dir / "noexec", "#!/bin/sh\n", 0644);
  Command noexec;
  noexec.program = dir / "noexec";
  c = run_command(noexec, {}, 0, {}, env, nullptr);
  EXPECT_EQ(c.failed, Stage::kSpawn);
  EXPECT_EQ(c.error->message(), "Permission denied (os error 13)");
}

TEST(ProcessTest, BareNamesAreLookedUpInTheCapturedPath) {
  TempDir dir;
  testing::write_file(dir / "bin/tool", "#!/bin/sh\necho \"$FOO\"\n", 0755);
  Environment env;
  env.path = "/nonexistent:" + (dir / "bin");
  env.entries = {"FOO=bar"};
  Command c;
  c.program = "tool";
  Completion done = run_command(c, {}, 0, {}, env, nullptr);
  ASSERT_EQ(done.failed, Stage::kNone) << done.error->message();
  // The environment is exactly the captured one.
  EXPECT_EQ(done.out, "bar\n");

  auto found = resolve_program("tool", env.path);
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(*found, dir / "bin/tool");
  EXPECT_FALSE(resolve_program("tool", std::string("/nonexistent")).ok());
}

TEST(ProcessTest, ChildSeesOnlyStdioDefaultSigpipeAndOwnGroup) {
  struct sigaction ignore{}, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  // Our own descriptors are close-on-exec; a stray inheritable one must not
  // reach the child either.
  int stray = dup(1);
  // `ls` lists the shell's descriptors (not its own) and writes straight
  // into our pipe, so the listing adds none.
  Completion c = sh(
      "ls /proc/$$/fd; echo --; grep SigIgn /proc/$$/status; cut -d' ' -f5 /proc/$$/stat; echo $$");
  close(stray);
  sigaction(SIGPIPE, &old, nullptr);
  ASSERT_EQ(c.failed, Stage::kNone);
  std::istringstream lines(c.out);
  std::string fds, line, sigign, pgid, pid;
  while (std::getline(lines, line) && line != "--") fds += line + " ";
  std::getline(lines, sigign);
  std::getline(lines, pgid);
  std::getline(lines, pid);
  EXPECT_EQ(fds, "0 1 2 ");
  unsigned long long mask = std::stoull(sigign.substr(sigign.find(':') + 1), nullptr, 16);
  EXPECT_EQ(mask & (1ull << (SIGPIPE - 1)), 0u) << sigign;
  EXPECT_EQ(pgid, pid);
}

TEST(ProcessTest, WorkingDirectory) {
  TempDir dir;
  Completion c = sh("pwd", {}, {}, nullptr, dir.path());
  EXPECT_EQ(c.out, dir.path() + "\n");
}

TEST(ProcessTest, LargeOutputAndEarlyLoggingDoNotStall) {
  // 10 MB on stdout while we still write 1 MB of input the child reads last.
  std::string input(1 << 20, 'x');
  Completion c = sh("head -c 10000000 /dev/zero; head -c 300000 /dev/zero >&2; wc -c", input,
                    limits_for(60, 0));
  ASSERT_EQ(c.failed, Stage::kNone);
  EXPECT_EQ(c.out.size(), 10000000u + std::to_string(input.size()).size() + 1);
  EXPECT_EQ(c.err.size(), 300000u);
}

TEST(ProcessTest, ChildIgnoringLargeInputTimesOut) {
  std::string input(4 << 20, 'x');
  Completion c = sh("sleep 30", input, Limits{200ms});
  EXPECT_EQ(c.failed, Stage::kTimeout);
}

TEST(ProcessTest, ChildExitingWithoutReadingBreaksThePipe) {
  std::string input(4 << 20, 'x');
  Completion c = sh("exit 0", input, limits_for(30, 0));
  EXPECT_EQ(c.failed, Stage::kWriteInput);
  ASSERT_TRUE(c.error);
  EXPECT_EQ(c.error->message(), "Broken pipe (os error 32)");
}

TEST(ProcessTest, TimeoutKillsTheWholeGroup) {
  TempDir dir;
  Completion c = sh("sleep 30 & echo $! > " + (dir / "pid") + "; sleep 30", {}, Limits{200ms});
  EXPECT_EQ(c.failed, Stage::kTimeout);
  pid_t grandchild = std::stoi(testing::read_file(dir / "pid"));
  EXPECT_TRUE(wait_gone(grandchild));
}

// Statuses, output, start failures and the group kill are the same whatever
// the host does with SIGCHLD: when the kernel would reap exec'd children by
// itself, a relay process starts and waits for the program.
class SigchldDisposition : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    struct sigaction sa{};
    sa.sa_handler = GetParam() == 0 ? SIG_DFL : GetParam() == 1 ? SIG_IGN : [](int) {};
    sa.sa_flags = GetParam() == 2 ? SA_NOCLDWAIT : 0;
    ASSERT_EQ(sigaction(SIGCHLD, &sa, &saved_), 0);
  }
  void TearDown() override { sigaction(SIGCHLD, &saved_, nullptr); }
  struct sigaction saved_{};
};

TEST_P(SigchldDisposition, ChangesNoResult) {
  Completion ok = sh("cat; echo err >&2", "hello");
  ASSERT_EQ(ok.failed, Stage::kNone) << (ok.error ? ok.error->chain() : "");
  EXPECT_EQ(ok.out + ok.err + ok.status.describe(), "helloerr\nSome(0)");
  EXPECT_EQ(sh("exit 3").status.describe(), "Some(3)");
  EXPECT_EQ(sh("kill -9 $$").status.describe(), "None");
  Command missing;
  missing.program = "/no/such/program";
  Completion c = run_command(missing, {}, 0, {}, capture_environment(), nullptr);
  EXPECT_EQ(c.failed, Stage::kSpawn);
  EXPECT_EQ(c.error.value_or(Error("")).message(), "No such file or directory (os error 2)");
  TempDir dir;
  c = sh("sleep 30 & echo $! > " + (dir / "pid") + "; sleep 30", {}, Limits{200ms});
  EXPECT_EQ(c.failed, Stage::kTimeout);
  EXPECT_TRUE(wait_gone(std::stoi(testing::read_file(dir / "pid"))));
}

INSTANTIATE_TEST_SUITE_P(
    Host, SigchldDisposition, ::testing::Values(0, 1, 2), [](const auto& info) {
      return std::string(info.param == 0 ? "Default" : info.param == 1 ? "Ignored" : "NoChildWait");
    });

TEST(ProcessTest, GrandchildHoldingThePipesDoesNotHoldTheCaller) {
  Completion c = sh("sleep 30 & echo $!", {}, limits_for(10, 0));
  ASSERT_EQ(c.failed, Stage::kNone);
  EXPECT_TRUE(c.status.success());
  pid_t grandchild = std::stoi(c.out);
  kill(grandchild, SIGKILL);
}

TEST(ProcessTest, UnboundedLimitAndZeroLimit) {
  EXPECT_FALSE(limits_for(UINT64_MAX, 0).timeout);
  EXPECT_FALSE(limits_for(UINT64_MAX / 1000000000u, 999999999).timeout);
  EXPECT_TRUE(limits_for(1000, 0).timeout);
  Completion quick = sh("echo ok", {}, limits_for(UINT64_MAX, 0));
  EXPECT_EQ(quick.failed, Stage::kNone);
  EXPECT_EQ(sh("sleep 5", {}, limits_for(0, 0)).failed, Stage::kTimeout);
}

TEST(ProcessTest, CancellationKillsTheGroup) {
  TempDir dir;
  std::atomic<int> calls{0};
  Completion c = sh("sleep 30 & echo $! > " + (dir / "pid") + "; sleep 30", {}, {},
                    [&] { return ++calls >= 3; });
  EXPECT_EQ(c.failed, Stage::kCancelled);
  EXPECT_EQ(calls.load(), 3);
  EXPECT_TRUE(wait_gone(std::stoi(testing::read_file(dir / "pid"))));
}

TEST(ProcessTest, StandardOutputUpToItsLimitThenTheGroupIsKilled) {
  const struct {
    size_t bytes;
    Stage expected;
  } cases[] = {{kMaxStdoutBytes, Stage::kNone}, {kMaxStdoutBytes + 1, Stage::kOutputLimit}};
  for (const auto& [bytes, expected] : cases) {
    Completion c = sh("head -c " + std::to_string(bytes) + " /dev/zero", {}, limits_for(60, 0));
    EXPECT_EQ(c.failed, expected) << bytes << ": " << (c.error ? c.error->chain() : "");
    EXPECT_EQ(c.out.size(), expected == Stage::kNone ? bytes : 0u);
  }

  // A flood that would never end: the child and its whole group go.
  TempDir dir;
  Completion c =
      sh("sleep 30 & echo $! > " + (dir / "pid") + "; exec cat /dev/zero", {}, limits_for(60, 0));
  EXPECT_EQ(c.failed, Stage::kOutputLimit);
  EXPECT_TRUE(wait_gone(std::stoi(testing::read_file(dir / "pid"))));
}

TEST(ProcessTest, StandardErrorIsDrainedToTheEndButOnlyHeadAndTailKept) {
  // seq writes ~2.9 MB: far more than a pipe holds, so the child finishes
  // only if the pipe is drained all along.
  Completion c = sh("seq 1 400000 >&2; echo done; exit 3", {}, limits_for(60, 0));
  ASSERT_EQ(c.failed, Stage::kNone) << (c.error ? c.error->chain() : "");
  EXPECT_EQ(c.out, "done\n");
  EXPECT_EQ(c.status.describe(), "Some(3)");
  EXPECT_TRUE(c.err == head_and_tail(testing::seq_lines(400000))) << c.err.substr(0, 200);

  // A flood that lasts until the time limit keeps the same bound.
  Completion endless = sh("exec cat /dev/zero >&2", {}, Limits{300ms});
  EXPECT_EQ(endless.failed, Stage::kTimeout);
  EXPECT_LE(endless.err.size(), 2 * HeadTail::kPart + 100);
}

// Threads that write an executable and start it at once, as a host that
// builds or installs skills while other threads run theirs: each thread's
// write descriptor (not close-on-exec, as most writers leave it) leaks
// into the children the other threads are starting until they exec, and
// exec of a file open for writing fails with ETXTBSY meanwhile. Writing the
// scripts inside the threads is the point of this test.
TEST(ProcessTest, ExecutablesWrittenWhileOtherThreadsSpawnStillStart) {
  TempDir dir;
  constexpr int kThreads = 4;
  constexpr int kRounds = 100;
  std::vector<std::string> problems(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const Environment env = capture_environment();
      for (int i = 0; i < kRounds; ++i) {
        Command c;
        c.program = dir / (std::to_string(t) + "-" + std::to_string(i) + ".sh");
        testing::write_file(c.program, "#!/bin/sh\necho " + std::to_string(i) + "\n", 0755);
        Completion done = run_command(c, {}, 0, {}, env, nullptr);
        if (done.failed != Stage::kNone || done.out != std::to_string(i) + "\n") {
          problems[t] += c.program + ": " + (done.error ? done.error->chain() : done.out) + "; ";
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(problems[t], "") << "thread " << t;
}

TEST(ProcessTest, ManyRunsLeaveNoDescriptorBehind) {
  size_t before = open_fd_count();
  for (int i = 0; i < 200; ++i) {
    Completion c = sh(i % 2 ? "cat" : "exit 1", "x");
    ASSERT_TRUE(c.failed == Stage::kNone || c.failed == Stage::kWriteInput);
  }
  EXPECT_EQ(open_fd_count(), before);
}

TEST(ProcessTest, ParallelRunsGetTheirOwnOutput) {
  std::vector<std::thread> threads;
  std::vector<std::string> outs(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &outs] {
      std::string all;
      for (int i = 0; i < 10; ++i) {
        std::string in = std::to_string(t) + ":" + std::to_string(i) + ";";
        all += sh("cat", in).out;
      }
      outs[t] = all;
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 8; ++t) {
    std::string expected;
    for (int i = 0; i < 10; ++i) expected += std::to_string(t) + ":" + std::to_string(i) + ";";
    EXPECT_EQ(outs[t], expected);
  }
}

TEST(LiveRunsTest, KillAllEndsEveryRunInProgress) {
  TempDir dir;
  const std::string pid_file = dir / "pid";
  Completion done;
  std::atomic<bool> finished{false};
  std::thread runner([&] {
    done = sh("sleep 30 & echo $! > " + pid_file + "; sleep 30", {}, limits_for(60, 0));
    finished = true;
  });
  bool started = wait_for([&] { return !first_line(pid_file).empty(); });
  // The child may write its pid before run_command has recorded its group:
  // repeat until the run ends (the sleeps would take 30 s).
  while (!finished) {
    live_runs::kill_all();
    std::this_thread::sleep_for(10ms);
  }
  runner.join();
  ASSERT_TRUE(started);
  ASSERT_EQ(done.failed, Stage::kNone) << (done.error ? done.error->chain() : "");
  EXPECT_EQ(done.status.describe(), "None");  // SIGKILL, not the end of the sleep
  EXPECT_TRUE(wait_gone(std::stoi(first_line(pid_file))));
}

// A copy of the host forked while a run feeds its child: the copy closes its
// inherited ends of the run's pipes, so the child still sees the end of its
// input when the parent closes it, and the copy's own exit path (kill_all)
// leaves the parent's child alone.
TEST(LiveRunsTest, AForkedCopyHoldsNoPipeOfTheParentsRunsAndKillsNone) {
  TempDir dir;
  const std::string started = dir / "started", go = dir / "go";
  // 1 MiB of input, more than a pipe holds: the run is still writing it when
  // the fork happens, and the child reads it only after `go` appears.
  const std::string script =
      "echo ready > " + started + "; while [ ! -e " + go + " ]; do sleep 0.01; done; wc -c";
  const std::string input(1 << 20, 'x');
  Completion done;
  std::thread runner([&] { done = sh(script, input, limits_for(60, 0)); });
  bool running = wait_for([&] { return first_line(started) == "ready"; });

  live_runs::prepare_fork();
  pid_t copy = fork();
  if (copy == 0) {
    live_runs::after_fork_in_child();
    live_runs::kill_all();
    // Outlives the parent's run by far, unless the parent ends it first.
    for (int i = 0; i < 300; ++i) usleep(100000);
    _exit(0);
  }
  live_runs::after_fork_in_parent();
  testing::write_file(go, "");
  runner.join();
  int status = 0;
  pid_t copy_state = copy > 0 ? waitpid(copy, &status, WNOHANG) : -1;
  if (copy > 0) {
    kill(copy, SIGKILL);
    waitpid(copy, &status, 0);
  }
  ASSERT_TRUE(running);
  ASSERT_GT(copy, 0);
  // The run ended while the copy was still alive.
  EXPECT_EQ(copy_state, 0);
  ASSERT_EQ(done.failed, Stage::kNone) << (done.error ? done.error->chain() : "");
  EXPECT_EQ(done.status.describe(), "Some(0)") << done.err;
  EXPECT_EQ(done.out, "1048576\n");
}

// CPython 3.11 to 3.13 end a daemon thread at interpreter exit with
// pthread_exit from inside the cancellation check: the forced unwind must
// still kill and reap the child's group and close the run's descriptors.
TEST(LiveRunsTest, AThreadEndedInsideTheCancelCheckKillsAndReapsOnItsWayOut) {
  TempDir dir;
  struct Shared {
    std::string script, pid_file;
    bool returned = false;
  } shared;
  shared.pid_file = dir / "pids";
  shared.script = "sleep 30 & echo $$ $! > " + shared.pid_file + "; sleep 30";
  const size_t fds_before = open_fd_count();
  pthread_t thread;
  auto body = +[](void* arg) -> void* {
    auto* s = static_cast<Shared*>(arg);
    sh(s->script, {}, limits_for(60, 0), [s] {
      if (!first_line(s->pid_file).empty()) pthread_exit(nullptr);
      return false;
    });
    s->returned = true;
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, nullptr, body, &shared), 0);
  pthread_join(thread, nullptr);
  EXPECT_FALSE(shared.returned);
  std::istringstream pids(first_line(shared.pid_file));
  pid_t child = 0, grandchild = 0;
  pids >> child >> grandchild;
  EXPECT_TRUE(process_gone(child));  // reaped, not a zombie
  EXPECT_TRUE(wait_gone(grandchild));
  EXPECT_EQ(open_fd_count(), fds_before);
}

}  // namespace
}  // namespace dovek::runtime
