#include "runtime/run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "json/read.h"
#include "json/write.h"
#include "runtime/api.h"
#include "test_util.h"

namespace dovek::runtime {
namespace {

using testing::make_script_skill;
using testing::TempDir;
using testing::write_file;

Result<SkillRunOutput> run(const std::string& root, const std::string& input_json,
                           Duration timeout = {30, 0},
                           const Environment& env = capture_environment()) {
  Result<json::Value> input = json::parse(input_json);
  if (!input.ok()) throw std::runtime_error("bad test input");
  RunOptions options;
  options.timeout = timeout;
  return run_skill(root, *input, options, env, nullptr);
}

std::string output_of(const Result<SkillRunOutput>& r) {
  if (!r.ok()) return "error: " + r.error().chain();
  return json::write(r->output);
}

std::string failure_of(const Result<SkillRunOutput>& r) {
  return r.ok() ? "success: " + json::write(r->output) : r.error().chain();
}

TEST(RunSkillTest, InputIsSentCompactSortedWithOneLineFeed) {
  TempDir dir;
  make_script_skill(dir.path(), "echo",
                    "cat > input.txt; echo '  {\"b\":1,\"a\":[true]}  '; echo note >&2");
  const std::pair<std::string, std::string> inputs[] = {
      {R"({ "z": 1, "a": {"d": null, "c": 2.5} })", R"({"a":{"c":2.5,"d":null},"z":1})"
                                                    "\n"},
  };
  for (const auto& [in, sent] : inputs) {
    Result<SkillRunOutput> r = run(dir.path(), in);
    ASSERT_TRUE(r.ok()) << r.error().chain();
    EXPECT_EQ(json::write(r->output), R"({"a":[true],"b":1})");
    EXPECT_EQ(r->stderr_text, "note");
    EXPECT_EQ(r->exit_code, 0);
    EXPECT_EQ(testing::read_file(dir / "input.txt"), sent);
  }
}


TEST(RunSkillTest, PreviewCountsCharactersNotBytes) {
  TempDir dir;
  std::string e_acute = "\xc3\xa9";
  std::string text;
  for (int i = 0; i < 130; ++i) text += e_acute;
  make_script_skill(dir.path(), "s", "cat >/dev/null; echo '" + text + "'");
  Result<SkillRunOutput> r = run(dir.path(), "1");
  ASSERT_FALSE(r.ok());
  std::string preview;
  for (int i = 0; i < 120; ++i) preview += e_acute;
  EXPECT_EQ(r.error().message(), "decode skill output JSON from stdout: " + preview);
}

TEST(RunSkillTest, NestingLimitOfOutput) {
  TempDir dir;
  std::string deep = std::string(126, '[') + std::string(126, ']');
  make_script_skill(dir.path(), "s", "cat >/dev/null; echo '{\"a\":" + deep + "}'");
  EXPECT_TRUE(run(dir.path(), "1").ok());
  std::string deeper = std::string(127, '[') + std::string(127, ']');
  make_script_skill(dir.path(), "s", "cat >/dev/null; echo '{\"a\":" + deeper + "}'");
  Result<SkillRunOutput> r = run(dir.path(), "1");
  ASSERT_FALSE(r.ok());
  ASSERT_NE(r.error().cause(), nullptr);
  EXPECT_EQ(r.error().cause()->message(), "recursion limit exceeded at line 1 column 132");
}

TEST(RunSkillTest, TimeoutMessageAndContext) {
  TempDir dir;
  make_script_skill(dir.path(), "slow-one", "sleep 30");
  EXPECT_EQ(failure_of(run(dir.path(), "{}", {1, 0})),
            "run skill `slow-one`: skill process timed out after 1s");
  // A fraction below a second still prints the whole seconds.
  EXPECT_EQ(failure_of(run(dir.path(), "{}", {0, 100000000})),
            "run skill `slow-one`: skill process timed out after 0s");
}


TEST(RunSkillTest, OutputFloods) {
  TempDir dir;
  make_script_skill(dir / "out", "out-flood", "cat >/dev/null; exec cat /dev/zero");
  EXPECT_EQ(failure_of(run(dir / "out", "{}")),
            "run skill `out-flood`: skill standard output exceeded 67108864 bytes");

  make_script_skill(dir / "err", "err-flood", "cat >/dev/null; seq 1 400000 >&2; exit 5");
  std::string kept = testing::head_and_tail(testing::seq_lines(400000));
  kept.pop_back();  // the final line feed is trimmed
  EXPECT_TRUE(failure_of(run(dir / "err", "{}")) ==
              "skill process exited with status Some(5): " + kept);
}

TEST(RunSkillTest, EarlyExitFailsTheWriteWithContext) {
  TempDir dir;
  make_script_skill(dir.path(), "quitter", "exit 0");
  std::string input = "\"" + std::string(4 << 20, 'q') + "\"";
  EXPECT_EQ(failure_of(run(dir.path(), input)),
            "run skill `quitter`: write skill input JSON: Broken pipe (os error 32)");
}

TEST(RunSkillTest, ExecutableChecksAndSpawnFailures) {
  TempDir dir;
  write_file(dir / "artifact.json", testing::manifest("x", "bin/tool"));
  EXPECT_EQ(failure_of(run(dir.path(), "{}")), "skill executable not found: " + (dir / "bin/tool"));
  ASSERT_TRUE(create_dir_all(dir / "bin/tool").ok());
  EXPECT_EQ(failure_of(run(dir.path(), "{}")), "skill executable not found: " + (dir / "bin/tool"));

  write_file(dir / "artifact.json", testing::manifest("x", "tool.sh"));
  write_file(dir / "tool.sh", "#!/bin/sh\necho '{}'\n", 0644);
  EXPECT_EQ(failure_of(run(dir.path(), "{}")),
            "run skill `x`: spawn skill process: Permission denied (os error 13)");
}


TEST(RunSkillTest, PythonUvCommandLineAndMissingUv) {
  TempDir dir;
  write_file(dir / "skill/artifact.json", testing::manifest("py", "main.py", "python_uv"));
  write_file(dir / "bin/uv",
             "#!/bin/sh\nfor a in \"$@\"; do printf '%s|' \"$a\"; done > " + (dir / "argv") +
                 "\ncat >/dev/null; echo '{\"ok\":true}'\n",
             0755);
  Environment env = capture_environment();
  env.path = dir / "bin";
  EXPECT_EQ(output_of(run(dir / "skill", "{}", {30, 0}, env)), R"({"ok":true})");
  EXPECT_EQ(testing::read_file(dir / "argv"),
            "run|--project|" + (dir / "skill") + "|python|main.py|");

  env.path = dir / "nowhere";
  EXPECT_EQ(failure_of(run(dir / "skill", "{}", {30, 0}, env)),
            "run skill `py`: spawn skill process: find `uv` on PATH: No such file or directory (os "
            "error 2)");
}

TEST(RunSkillTest, CancellationIsNotWrapped) {
  TempDir dir;
  make_script_skill(dir.path(), "s", "sleep 30");
  RunOptions options;
  Result<SkillRunOutput> r = run_skill(dir.path(), json::Value(nullptr), options,
                                       capture_environment(), [] { return true; });
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().chain(), kCancelledMessage);
}

// The runtime entry points as the binding calls them from several Python
// threads at once (each without the interpreter lock): runs that succeed,
// fail, time out and get cancelled, installs into one skills directory and
// listings of it, all sharing one captured environment.
TEST(RunSkillJsonTest, EightThreadsRunInstallAndListAtOnce) {
  TempDir dir;
  make_script_skill(dir / "echo", "echo", R"(read line; echo "{\"got\":$line}")");
  make_script_skill(dir / "fail", "fail", "cat >/dev/null; echo bad >&2; exit 4");
  make_script_skill(dir / "slow", "slow", "sleep 30");
  constexpr int kThreads = 8;
  constexpr int kRuns = 6;
  // Every fixture exists before the first thread starts.
  for (int t = 0; t < kThreads; ++t) {
    make_script_skill(dir / ("own" + std::to_string(t)), "own" + std::to_string(t),
                      R"(read line; echo "{\"in\":$line,\"t\":)" + std::to_string(t) + "}\"");
  }
  const Environment env = capture_environment();
  std::vector<std::string> problems(kThreads);
  std::atomic<int> cancel_polls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::string& p = problems[t];
      const std::string own = dir / ("own" + std::to_string(t));
      // The outcome of a call, for the failure message.
      auto shown = [](const Result<std::string>& r) { return r.ok() ? *r : r.error().chain(); };
      for (int i = 0; i < kRuns; ++i) {
        const std::string n = std::to_string(t * 100 + i);
        Result<std::string> r = run_skill_json(dir / "echo", n, 30, env, nullptr);
        if (!r.ok() || *r != R"({"got":)" + n + "}") p += "echo " + n + ": " + shown(r) + "; ";
        r = run_skill_json(own, "[" + n + "]", 30, env, [] { return false; });
        if (!r.ok() || *r != R"({"in":[)" + n + R"(],"t":)" + std::to_string(t) + "}") {
          p += "own " + n + ": " + shown(r) + "; ";
        }
        r = run_skill_json(dir / "fail", "{}", 30, env, nullptr);
        if (r.ok() || r.error().message() != "skill process exited with status Some(4): bad") {
          p += "fail: " + shown(r) + "; ";
        }
      }
      Result<std::string> r = Error("not run");
      if (t == 0) {
        r = run_skill_json(dir / "slow", "{}", 1, env, nullptr);
        if (r.ok() || r.error().message() != "run skill `slow`") p += "timeout: " + shown(r) + "; ";
      } else if (t == 1) {
        r = run_skill_json(dir / "slow", "{}", 30, env, [&] { return ++cancel_polls > 5; });
        if (r.ok() || r.error().chain() != kCancelledMessage) p += "cancel: " + shown(r) + "; ";
      }
      r = install_local_skill_json(dir / "echo", dir / "skills", "e" + std::to_string(t), false,
                                   env);
      if (!r.ok()) p += "install " + r.error().chain() + "; ";
      r = list_skills_json(dir / "skills", env);
      if (!r.ok()) p += "list " + r.error().chain() + "; ";
    });
  }
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(problems[t], "") << "thread " << t;

  Result<std::string> listed = list_skills_json(dir / "skills", env);
  ASSERT_TRUE(listed.ok()) << listed.error().chain();
  size_t found = 0;
  for (size_t at = 0; (at = listed->find(R"("id":"echo")", at)) != std::string::npos; ++at) ++found;
  EXPECT_EQ(found, size_t{kThreads});
}

}  // namespace
}  // namespace dovek::runtime
