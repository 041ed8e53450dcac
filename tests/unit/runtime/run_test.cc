#include "runtime/run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "json/read.h"
#include "json/write.h"
#include "test_util.h"

namespace dovek::runtime {
namespace {

using testing::make_script_skill;
using testing::TempDir;
using testing::write_file;

Result<SkillRunOutput> run(const std::string& root, const std::string& input_json,
                           Duration timeout = {30, 0}, const Environment& env = capture_environment()) {
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
  make_script_skill(dir.path(), "echo", "cat > input.txt; echo '  {\"b\":1,\"a\":[true]}  '; echo note >&2");
  const std::pair<std::string, std::string> inputs[] = {
      {R"({ "z": 1, "a": {"d": null, "c": 2.5} })", R"({"a":{"c":2.5,"d":null},"z":1})" "\n"},
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
  EXPECT_EQ(failure_of(run(dir.path(), "{}")),
            "skill executable not found: " + (dir / "bin/tool"));
  ASSERT_TRUE(create_dir_all(dir / "bin/tool").ok());
  EXPECT_EQ(failure_of(run(dir.path(), "{}")),
            "skill executable not found: " + (dir / "bin/tool"));

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
            "run skill `py`: spawn skill process: No such file or directory (os error 2)");
}

TEST(RunSkillTest, CancellationIsNotWrapped) {
  TempDir dir;
  make_script_skill(dir.path(), "s", "sleep 30");
  RunOptions options;
  Result<SkillRunOutput> r =
      run_skill(dir.path(), json::Value(nullptr), options, capture_environment(), [] { return true; });
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().chain(), kCancelledMessage);
}

}  // namespace
}  // namespace dovek::runtime
