#include "runtime/build.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_util.h"

namespace dovek::runtime {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

// Stand-in build tools first on PATH: each records its argument vector (one
// line per call, arguments separated by '|') and then does `action`.
class BuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = capture_environment();
    env_.path = (dir_ / "bin") + ":/usr/bin:/bin";
    env_.tmpdir = dir_ / "tmp";
  }
  void tool(const std::string& name, const std::string& action) {
    write_file(dir_ / ("bin/" + name),
               "#!/bin/sh\nfor a in \"$@\"; do printf '%s|' \"$a\"; done >> " + (dir_ / "log") +
                   "\necho >> " + (dir_ / "log") + "\n" + action + "\n",
               0755);
  }
  std::string log() { return read_file(dir_ / "log"); }
  Result<SkillArtifact> build(const std::string& root, BuildOptions options = {}) {
    return build_skill(root, options, env_, nullptr);
  }

  TempDir dir_;
  Environment env_;
};

TEST_F(BuildTest, PythonUvLocksOnlyWithoutLockFile) {
  std::string root = dir_ / "py";
  write_file(root + "/artifact.json", testing::manifest("py", "main.py", "python_uv"));
  tool("uv", "[ \"$1\" = lock ] && touch \"$3/uv.lock\"; exit 0");
  Result<SkillArtifact> a = build(root);
  ASSERT_TRUE(a.ok()) << a.error().chain();
  EXPECT_EQ(a->id, "py");
  EXPECT_EQ(log(), "lock|--project|" + root + "|\nsync|--project|" + root + "|--locked|\n");
  ASSERT_TRUE(build(root).ok());
  EXPECT_EQ(log(), "lock|--project|" + root + "|\nsync|--project|" + root + "|--locked|\n" +
                       "sync|--project|" + root + "|--locked|\n");
}

TEST_F(BuildTest, FailingStepsReportLabelAndTrimmedStderr) {
  std::string root = dir_ / "py";
  write_file(root + "/artifact.json", testing::manifest("py", "main.py", "python_uv"));
  tool("uv", "printf '\\n  no lock for you  \\n' >&2; exit 2");
  Result<SkillArtifact> a = build(root);
  ASSERT_FALSE(a.ok());
  EXPECT_EQ(a.error().chain(), "lock python uv skill failed with status Some(2): no lock for you");
  EXPECT_EQ(log(), "lock|--project|" + root + "|\n");  // sync never ran

  write_file(root + "/uv.lock", "");
  tool("uv", "echo out; echo boom >&2; kill -9 $$");
  EXPECT_EQ(build(root).error().chain(), "sync python uv skill failed with status None: boom");

  env_.path = dir_ / "nowhere";
  EXPECT_EQ(build(root).error().chain(),
            "sync python uv skill: spawn command: find `uv` on PATH: No such file or directory (os "
            "error 2)");
  unlink((root + "/uv.lock").c_str());
  EXPECT_EQ(build(root).error().message(), "lock python uv skill: spawn command");
}

TEST_F(BuildTest, RustBinaryDefaultTargetAndCopy) {
  std::string root = dir_ / "rs";
  write_file(root + "/artifact.json", testing::manifest("tool", "bin/tool"));
  // Produces target/<profile>/tool from the argument after --target-dir.
  tool("cargo",
       "t=$5; p=release; [ \"$6\" = --profile ] && p=$7; mkdir -p $t/$p; "
       "printf '#!/bin/sh\\necho built\\n' > $t/$p/tool; chmod 750 $t/$p/tool; head -c 200000 "
       "/dev/zero >&2");
  Result<SkillArtifact> a = build(root);
  ASSERT_TRUE(a.ok()) << a.error().chain();
  std::string target = dir_ / "tmp/dovek-skill-targets/tool";
  EXPECT_EQ(log(), "build|--manifest-path|" + root + "/Cargo.toml|--target-dir|" + target +
                       "|--release|\n");
  struct stat st;
  ASSERT_EQ(stat((root + "/bin/tool").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
  EXPECT_EQ(read_file(root + "/bin/tool"), "#!/bin/sh\necho built\n");

  BuildOptions bench;
  bench.profile = "bench";
  bench.target_dir = dir_ / "t2";
  ASSERT_TRUE(build(root, bench).ok());
  EXPECT_NE(log().find("--target-dir|" + (dir_ / "t2") + "|--profile|bench|\n"), std::string::npos);
  EXPECT_TRUE(is_regular_file(dir_ / "t2/bench/tool"));

  env_.tmpdir.reset();  // falls back to /tmp
  EXPECT_EQ(default_target_dir("x", env_), "/tmp/dovek-skill-targets/x");
}

TEST_F(BuildTest, RustBinaryWithWrongExecutableNameFailsTheCopy) {
  std::string root = dir_ / "rs";
  write_file(root + "/artifact.json", testing::manifest("tool", "tool"));
  tool("cargo", "mkdir -p $5/release; touch $5/release/other");
  BuildOptions options;
  options.target_dir = dir_ / "t";
  Result<SkillArtifact> a = build(root, options);
  ASSERT_FALSE(a.ok());
  EXPECT_EQ(a.error().chain(), "copy built skill binary from " + (dir_ / "t/release/tool") +
                                   " to " + root + "/tool: No such file or directory (os error 2)");
}

TEST_F(BuildTest, CancellationStopsTheBuild) {
  std::string root = dir_ / "rs";
  write_file(root + "/artifact.json", testing::manifest("tool", "tool"));
  tool("cargo", "sleep 30");
  Result<SkillArtifact> a = build_skill(root, {}, env_, [] { return true; });
  ASSERT_FALSE(a.ok());
  EXPECT_EQ(a.error().chain(), kCancelledMessage);
}

TEST(ParentPathTest, Cases) {
  EXPECT_EQ(parent_path("a/b/c"), "a/b");
  EXPECT_EQ(parent_path("a"), "");
  EXPECT_EQ(parent_path("/a"), "/");
  EXPECT_EQ(parent_path("/"), std::nullopt);
  EXPECT_EQ(parent_path("a/b/"), "a");
  EXPECT_EQ(parent_path("r/."), "");
}

}  // namespace
}  // namespace dovek::runtime
