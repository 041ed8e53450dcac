#include "runtime/install.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_util.h"

namespace dovek::runtime {
namespace {

using testing::make_script_skill;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

std::vector<std::string> ids(const std::vector<SkillArtifact>& list) {
  std::vector<std::string> out;
  for (const auto& a : list) out.push_back(a.id);
  return out;
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") out.push_back(n);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

class InstallTest : public ::testing::Test {
 protected:
  Result<SkillArtifact> install(const std::string& source, std::optional<std::string> id = {},
                                bool overwrite = false) {
    return install_local_skill(source, InstallOptions{skills_, std::move(id), overwrite});
  }
  TempDir dir_;
  std::string skills_ = dir_ / "home/.dovek/skills";
};

TEST_F(InstallTest, DefaultSkillsDir) {
  Environment env;
  EXPECT_EQ(default_skills_dir(env).error().message(), "HOME is not set");
  env.home = "/h";
  EXPECT_EQ(*default_skills_dir(env), "/h/.dovek/skills");
  env.skills_dir = "";
  EXPECT_EQ(*default_skills_dir(env), "");
}

TEST_F(InstallTest, ListingSkipsWhatIsNotAValidSkillAndSortsById) {
  EXPECT_TRUE(list_installed_skills(dir_ / "missing")->empty());
  write_file(dir_ / "file", "x");
  EXPECT_EQ(list_installed_skills(dir_ / "file").error().message(), "read " + (dir_ / "file"));

  write_file(skills_ + "/zz/artifact.json", testing::manifest("alpha"));
  write_file(skills_ + "/aa/artifact.json", testing::manifest("beta"));
  write_file(skills_ + "/ab/artifact.json", testing::manifest("alph"));
  write_file(skills_ + "/broken/artifact.json", "{");
  write_file(skills_ + "/invalid/artifact.json", testing::manifest("-bad"));
  ASSERT_TRUE(create_dir_all(skills_ + "/empty").ok());
  ASSERT_TRUE(create_dir_all(skills_ + "/dirmanifest/artifact.json").ok());
  write_file(skills_ + "/plain", "x");
  write_file(skills_ + "/.dovek-install.gamma.1-0/artifact.json", testing::manifest("gamma"));
  write_file(skills_ + "/twin/artifact.json", testing::manifest("beta"));
  Result<std::vector<SkillArtifact>> list = list_installed_skills(skills_);
  ASSERT_TRUE(list.ok());
  EXPECT_EQ(ids(*list), (std::vector<std::string>{"alph", "alpha", "beta", "beta"}));
}


TEST_F(InstallTest, SkillsDirThatCannotBeCreated) {
  std::string src = dir_ / "src";
  make_script_skill(src, "echo", "");
  write_file(dir_ / "blocker", "");
  Result<SkillArtifact> r =
      install_local_skill(src, InstallOptions{dir_ / "blocker/skills", {}, false});
  EXPECT_EQ(r.error().chain(),
            "create " + (dir_ / "blocker/skills") + ": Not a directory (os error 20)");
}

TEST_F(InstallTest, FailedCopyKeepsThePreviousState) {
  std::string src = dir_ / "src";
  make_script_skill(src, "echo", "echo v1");
  ASSERT_TRUE(install(src).ok());
  // A dangling link and a FIFO cannot be copied; neither may block or leave a
  // partial copy behind.
  ASSERT_EQ(symlink("/nonexistent/target", (src + "/dangling").c_str()), 0);
  write_file(src + "/run.sh", "#!/bin/sh\necho v2\n", 0755);
  Result<SkillArtifact> r = install(src, {}, true);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "install skill into " + skills_ + "/echo");
  ASSERT_NE(r.error().cause(), nullptr);
  EXPECT_EQ(r.error().cause()->message().rfind("copy " + src + "/dangling to ", 0), 0u);
  EXPECT_EQ(read_file(skills_ + "/echo/run.sh"), "#!/bin/sh\necho v1\n");
  EXPECT_EQ(entries(skills_), std::vector<std::string>{"echo"});

  unlink((src + "/dangling").c_str());
  ASSERT_EQ(mkfifo((src + "/fifo").c_str(), 0644), 0);
  r = install(src, "fresh");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "install skill into " + skills_ + "/fresh");
  EXPECT_EQ(entries(skills_), std::vector<std::string>{"echo"});
}


TEST_F(InstallTest, SymlinkCyclesAndSharedLinks) {
  std::string src = dir_ / "src";
  make_script_skill(src, "loop", "");
  write_file(src + "/data/file", "d");
  // Two links to one directory are no cycle.
  ASSERT_EQ(symlink("data", (src + "/again").c_str()), 0);
  ASSERT_TRUE(copy_dir_all(src, dir_ / "copy1").ok());
  EXPECT_EQ(read_file(dir_ / "copy1/again/file"), "d");

  ASSERT_EQ(symlink("..", (src + "/data/up").c_str()), 0);
  Status s = copy_dir_all(src, dir_ / "copy2");
  ASSERT_FALSE(s.ok());
  EXPECT_NE(s.error().chain().find("cycle"), std::string::npos) << s.error().chain();

  Result<SkillArtifact> r = install(src);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "install skill into " + skills_ + "/loop");
  EXPECT_TRUE(entries(skills_).empty());
}

TEST_F(InstallTest, SkillsDirInsideTheSource) {
  std::string src = dir_ / "src";
  make_script_skill(src, "self", "");
  std::string inner = src + "/skills";
  Result<SkillArtifact> r = install_local_skill(src, InstallOptions{inner, {}, false});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "install skill into " + inner + "/self");
  EXPECT_TRUE(entries(inner).empty());
}

TEST_F(InstallTest, LeftoversOfAnEarlierSwapAreRemoved) {
  std::string src = dir_ / "src";
  make_script_skill(src, "echo", "");
  write_file(skills_ + "/.dovek-old.echo.1-1/x", "");
  write_file(skills_ + "/.dovek-old.echo-2.1-1/x", "");
  ASSERT_TRUE(install(src).ok());
  EXPECT_EQ(entries(skills_), (std::vector<std::string>{".dovek-old.echo-2.1-1", "echo"}));
}

struct CancelCase {
  int cancel_on_call;  // 0: never
  bool overwrite;
};

class InstallCancel : public InstallTest, public ::testing::WithParamInterface<CancelCase> {};

// A cancelled install leaves the previous state exactly: the old
// installation or nothing, and no staging copy.
TEST_P(InstallCancel, LeavesThePreviousInstallationOrNothing) {
  std::string src = dir_ / "src";
  make_script_skill(src, "echo", "echo v1");
  if (GetParam().overwrite) {
    ASSERT_TRUE(install(src).ok());
  }
  write_file(src + "/run.sh", "#!/bin/sh\necho v2\n", 0755);
  for (int i = 0; i < 50; ++i) write_file(src + "/data/" + std::to_string(i), "x");
  int calls = 0;
  CancelCheck cancel = [&] { return ++calls == GetParam().cancel_on_call; };
  Result<SkillArtifact> r =
      install_local_skill(src, InstallOptions{skills_, {}, GetParam().overwrite}, cancel);
  if (GetParam().cancel_on_call == 0) {
    ASSERT_TRUE(r.ok()) << r.error().chain();
    EXPECT_GE(calls, 1);
    EXPECT_EQ(read_file(skills_ + "/echo/run.sh"), "#!/bin/sh\necho v2\n");
    EXPECT_EQ(entries(skills_), std::vector<std::string>{"echo"});
    return;
  }
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().chain(), kCancelledMessage);
  EXPECT_EQ(calls, GetParam().cancel_on_call);
  if (GetParam().overwrite) {
    EXPECT_EQ(read_file(skills_ + "/echo/run.sh"), "#!/bin/sh\necho v1\n");
    EXPECT_EQ(entries(skills_), std::vector<std::string>{"echo"});
  } else {
    EXPECT_TRUE(entries(skills_).empty());
  }
}

// The first question comes with the first file copied; the second, for a
// copy this small, just before the swap.
INSTANTIATE_TEST_SUITE_P(Calls, InstallCancel,
                         ::testing::Values(CancelCase{1, false}, CancelCase{1, true},
                                           CancelCase{2, false}, CancelCase{2, true},
                                           CancelCase{0, true}));

TEST_F(InstallTest, SamePath) {
  write_file(dir_ / "a/f", "");
  ASSERT_EQ(symlink(dir_.path().c_str(), (dir_ / "link").c_str()), 0);
  EXPECT_TRUE(*same_path(dir_ / "a", dir_ / "link/a/"));
  EXPECT_TRUE(*same_path(dir_ / "a", dir_ / "a/../a"));
  EXPECT_FALSE(*same_path(dir_ / "a", dir_ / "a/f"));
  EXPECT_FALSE(*same_path(dir_ / "a", dir_ / "missing"));
}

}  // namespace
}  // namespace dovek::runtime
