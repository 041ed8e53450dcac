#include "runtime/pipe_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/unique_fd.h"

namespace dovek::runtime {
namespace {

// A non-blocking pipe.
struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2");
    read_end = UniqueFd(fds[0]);
    write_end = UniqueFd(fds[1]);
  }
};

void put(const Pipe& p, const std::string& bytes) {
  ASSERT_EQ(::write(p.write_end.get(), bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
}

bool sigpipe_blocked() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, SIGPIPE) == 1;
}

TEST(PipeIoTest, StandardOutputIsTakenUpToTheCapAndNoByteBeyond) {
  {
    Pipe p;
    put(p, std::string(1000, 'a'));
    std::string out = "xy";
    Drained d = drain_capped(p.read_end.get(), out, 1002);  // exactly the cap
    EXPECT_FALSE(d.over_limit || d.end || d.error);
    EXPECT_EQ(out.size(), 1002u);
    p.write_end.reset();
    EXPECT_TRUE(drain_capped(p.read_end.get(), out, 1002).end);
  }
  {
    Pipe p;
    put(p, std::string(1000, 'a'));
    std::string out = "xy";
    EXPECT_TRUE(drain_capped(p.read_end.get(), out, 1001).over_limit);
    EXPECT_EQ(out, "xy");  // a refused read adds nothing
  }
}

TEST(PipeIoTest, AnEmptyPipeIsNeitherEndNorError) {
  Pipe p;
  HeadTail err;
  Drained d = drain_into(p.read_end.get(), err);
  EXPECT_FALSE(d.end || d.error || d.over_limit);
  put(p, "warning\n");
  p.write_end.reset();
  EXPECT_FALSE(drain_into(p.read_end.get(), err).end);  // the bytes, then ...
  EXPECT_TRUE(drain_into(p.read_end.get(), err).end);   // ... the end
  EXPECT_EQ(err.text(), "warning\n");
  EXPECT_EQ(drain_into(-1, err).error, EBADF);
}

TEST(PipeIoTest, WritesWhatAFullPipeTakesThenBrokenPipeWithoutTheSignal) {
  Pipe p;
  const std::string big(1 << 20, 'z');  // more than a pipe holds
  ASSERT_FALSE(sigpipe_blocked());
  {
    SigpipeBlock block;
    EXPECT_TRUE(sigpipe_blocked());
    Written w = write_available(p.write_end.get(), big);
    EXPECT_EQ(w.error, 0);  // full is no error
    EXPECT_GT(w.bytes, 0u);
    EXPECT_LT(w.bytes, big.size());

    p.read_end.reset();
    w = write_available(p.write_end.get(), big);
    EXPECT_EQ(w.error, EPIPE);
    EXPECT_EQ(w.bytes, 0u);
  }
  // The SIGPIPE the write raised was consumed, and the mask is as before.
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  EXPECT_FALSE(sigpipe_blocked());
}

}  // namespace
}  // namespace dovek::runtime
