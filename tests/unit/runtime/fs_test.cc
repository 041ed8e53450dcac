#include "runtime/fs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "base/unique_fd.h"
#include "test_util.h"

namespace dovek::runtime {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

struct SizeCase {
  off_t size;
  bool sparse;
  bool readable;
};

class ReadTextFileSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ReadTextFileSize, StopsAtTheCapWhateverStatSays) {
  TempDir dir;
  std::string path = dir / "f";
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  ASSERT_TRUE(fd.valid());
  if (GetParam().sparse) {
    ASSERT_EQ(ftruncate(fd.get(), GetParam().size), 0);
  } else {
    std::string spaces(static_cast<size_t>(GetParam().size), ' ');
    ASSERT_EQ(write(fd.get(), spaces.data(), spaces.size()), GetParam().size);
  }
  fd.reset();
  Result<std::string> text = read_text_file(path);
  if (GetParam().readable) {
    ASSERT_TRUE(text.ok()) << text.error().chain();
    EXPECT_EQ(text->size(), static_cast<size_t>(GetParam().size));
  } else {
    ASSERT_FALSE(text.ok());
    EXPECT_EQ(text.error().chain(), "file is larger than 16777216 bytes");
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReadTextFileSize,
                         ::testing::Values(SizeCase{off_t{kMaxTextFileSize}, false, true},
                                           SizeCase{off_t{kMaxTextFileSize} + 1, false, false},
                                           SizeCase{off_t{1} << 40, true, false}));

// Lowers the soft descriptor limit for the test's lifetime.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(rlim_t soft) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = soft;
    setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_;
};

TEST(RemoveDirAll, ChainDeeperThanThePathLimitUnderALowDescriptorLimit) {
  TempDir dir;
  std::string root = dir / "tree";
  ASSERT_EQ(mkdir(root.c_str(), 0777), 0);
  // Built through descriptors, as no path may name its bottom.
  {
    UniqueFd fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int i = 0; i < PATH_MAX / 2 + 10; ++i) {
      ASSERT_EQ(mkdirat(fd.get(), "d", 0777), 0);
      UniqueFd file(openat(fd.get(), "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
      ASSERT_TRUE(file.valid());
      fd = UniqueFd(openat(fd.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      ASSERT_TRUE(fd.valid());
    }
  }
  // A link out of the tree is removed, never followed.
  write_file(dir / "outside/keep", "k");
  ASSERT_EQ(symlink((dir / "outside").c_str(), (root + "/d/d/out").c_str()), 0);
  Status removed = [&] {
    DescriptorLimit limit(32);
    return remove_dir_all(root);
  }();
  ASSERT_TRUE(removed.ok()) << removed.error().chain();
  EXPECT_FALSE(stat_path(root));
  EXPECT_EQ(read_file(dir / "outside/keep"), "k");
}

TEST(ListNames, EveryEntryButDotAndDotDotOrTheDirectoryInTheError) {
  TempDir dir;
  write_file(dir / "d/file", "");
  write_file(dir / "d/.hidden", "");
  ASSERT_EQ(mkdir((dir / "d/sub").c_str(), 0777), 0);
  ASSERT_EQ(symlink("nowhere", (dir / "d/dangling").c_str()), 0);
  Result<std::vector<std::string>> names = list_names(dir / "d");
  ASSERT_TRUE(names.ok()) << names.error().chain();
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{".hidden", "dangling", "file", "sub"}));

  const std::string with_nul = dir / "d" + std::string("\0x", 2);
  const std::pair<std::string, std::string> failures[] = {
      {dir / "missing", "No such file or directory (os error 2)"},
      {dir / "d/file", "Not a directory (os error 20)"},
      {with_nul, "file name contained an unexpected NUL byte"},
  };
  for (const auto& [path, cause] : failures) {
    Result<std::vector<std::string>> failed = list_names(path);
    ASSERT_FALSE(failed.ok()) << path;
    EXPECT_EQ(failed.error().chain(), "read " + path + ": " + cause);
  }
}

// A source of 3.5 chunks of data, an 8 MiB hole, one more chunk and a
// trailing hole: the copy asks `stop` before every chunk, keeps both holes,
// and ends at once (no rest of the file) when `stop` says so.
TEST(CopyFile, AsksBeforeEveryChunkAndKeepsHoles) {
  TempDir dir;
  const std::string from = dir / "from";
  const std::string head(kCopyChunk * 7 / 2, 'h');
  const std::string tail(kCopyChunk, 't');
  const off_t tail_at = off_t(head.size()) + (off_t{8} << 20);
  const off_t size = tail_at + off_t(tail.size()) + (off_t{8} << 20);
  {
    UniqueFd fd(open(from.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755));
    ASSERT_EQ(pwrite(fd.get(), head.data(), head.size(), 0), ssize_t(head.size()));
    ASSERT_EQ(pwrite(fd.get(), tail.data(), tail.size(), tail_at), ssize_t(tail.size()));
    ASSERT_EQ(ftruncate(fd.get(), size), 0);
  }
  for (int stop_at : {0, 3}) {
    const std::string to = dir / ("to" + std::to_string(stop_at));
    int asked = 0;
    Status copied = copy_file(from, to, [&] { return ++asked == stop_at; });
    struct stat st;
    ASSERT_EQ(stat(to.c_str(), &st), 0);
    if (stop_at != 0) {
      ASSERT_FALSE(copied.ok());
      EXPECT_EQ(copied.error().chain(), kCopyStoppedMessage);
      EXPECT_EQ(asked, stop_at);
      EXPECT_LT(st.st_size, off_t(head.size()));
      continue;
    }
    ASSERT_TRUE(copied.ok()) << copied.error().chain();
    EXPECT_GE(asked, 5);  // at least 4 chunks of head and 1 of tail
    EXPECT_EQ(st.st_size, size);
    EXPECT_LE(st.st_blocks * 512, off_t(head.size() + tail.size()) + (off_t{1} << 20));
    std::string copy = read_file(to);
    EXPECT_TRUE(copy.compare(0, head.size(), head) == 0);
    EXPECT_TRUE(copy.compare(size_t(tail_at), tail.size(), tail) == 0);
    EXPECT_EQ(copy.find_first_not_of('\0', head.size()), size_t(tail_at));
  }
}

}  // namespace
}  // namespace dovek::runtime
