// One short child run (`/bin/cat` echoing a small JSON text) through
// run_command, beside the least any implementation must do: posix_spawn with
// three pipes, write, read to end of file, waitpid. Compare the two lines.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "runtime/process.h"

extern char** environ;

namespace {

constexpr std::string_view kInput = "{\"numbers\":[1,2,3],\"text\":\"hello\"}\n";

void BM_RunCommand(benchmark::State& state) {
  dovek::runtime::Environment env = dovek::runtime::capture_environment();
  dovek::runtime::Command command;
  command.program = "/bin/cat";
  auto limits = dovek::runtime::limits_for(60, 0);
  for (auto _ : state) {
    auto done =
        dovek::runtime::run_command(command, kInput, kInput.size() - 1, limits, env, nullptr);
    if (done.out.size() != kInput.size()) state.SkipWithError("short output");
    benchmark::DoNotOptimize(done);
  }
}
BENCHMARK(BM_RunCommand)->Unit(benchmark::kMicrosecond);

void BM_BareSpawnBaseline(benchmark::State& state) {
  char* argv[] = {const_cast<char*>("/bin/cat"), nullptr};
  for (auto _ : state) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
      state.SkipWithError("pipe");
      break;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    pid_t pid;
    posix_spawn(&pid, argv[0], &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    (void)!write(in[1], kInput.data(), kInput.size());
    close(in[1]);
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    while (read(err[0], buf, sizeof buf) > 0) {
    }
    close(out[0]);
    close(err[0]);
    int status;
    waitpid(pid, &status, 0);
    benchmark::DoNotOptimize(got);
  }
}
BENCHMARK(BM_BareSpawnBaseline)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
