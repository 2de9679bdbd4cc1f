#include "core/base/io.h"
#include "core/runner/protocol.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

namespace vesk {
namespace {

Pipe pipe_or_die() {
  auto p = make_pipe();
  if (!p) throw std::runtime_error(p.error().message());
  return std::move(*p);
}

std::vector<std::string> read_all_lines(int fd) {
  FdReader reader(fd);
  std::vector<std::string> lines;
  std::string line;
  FdReader::ReadResult r;
  while ((r = reader.read_line(line)) == FdReader::ReadResult::kLine) lines.push_back(line);
  EXPECT_EQ(r, FdReader::ReadResult::kEof);
  // The end stays the end.
  EXPECT_EQ(reader.read_line(line), FdReader::ReadResult::kEof);
  return lines;
}

// A writer that never ends its line costs the reader no more than the bound
// (and one read): the reader stops reading there, while the writer still has
// plenty to give. Lines within the bound, before and after, are whole.
TEST(IoTest, ReadLineStopsAtItsBound) {
  Pipe p = pipe_or_die();
  std::thread writer([fd = p.write.get()] {
    std::string text = "short\n" + std::string(3 << 20, 'x');
    (void)write_all(fd, text);
  });
  FdReader reader(p.read.get());
  std::string line;
  EXPECT_EQ(reader.read_line(line, 1 << 20), FdReader::ReadResult::kLine);
  EXPECT_EQ(line, "short\n");
  EXPECT_EQ(reader.read_line(line, 1 << 20), FdReader::ReadResult::kTooLong);
  EXPECT_GE(line.size(), std::size_t{1} << 20);
  EXPECT_LE(line.size(), (std::size_t{2} << 20) + FdReader::kBufferSize);
  p.read.reset();  // the writer's next write fails: nothing waits on it
  writer.join();
  EXPECT_EQ(longest_reply_line(1, 2048), 5u * 1048576 + 32u * 1048576);
  EXPECT_EQ(longest_reply_line(std::nullopt, 100), longest_reply_line(4096, 100));
}

TEST(IoTest, PipeEndsAreCloseOnExecAndClosedExactlyOnce) {
  Pipe p = pipe_or_die();
  EXPECT_TRUE(::fcntl(p.read.get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(::fcntl(p.write.get(), F_GETFD) & FD_CLOEXEC);

  const int fd = p.read.get();
  UniqueFd moved(std::move(p.read));
  EXPECT_FALSE(p.read.valid());
  EXPECT_EQ(moved.get(), fd);
  moved = UniqueFd();
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);

  const int wfd = p.write.release();
  EXPECT_NE(::fcntl(wfd, F_GETFD), -1) << "release() must not close";
  ::close(wfd);
}

TEST(IoTest, ReaderSplitsLinesWhateverTheChunking) {
  const std::string long_line = std::string(3 * FdReader::kBufferSize + 5, 'x') + "\n";
  const std::string very_long_line = std::string(40 * FdReader::kBufferSize + 3, 'y') + "\n";
  const struct {
    const char* name;
    std::vector<std::string> writes;
    std::vector<std::string> lines;
  } cases[] = {
      {"nothing", {}, {}},
      {"two lines", {"a\nb\n"}, {"a\n", "b\n"}},
      {"last line without a line feed", {"a\nrest"}, {"a\n", "rest"}},
      {"empty lines", {"\n\n"}, {"\n", "\n"}},
      {"line split across writes", {"ab", "c\nd", "e\n"}, {"abc\n", "de\n"}},
      {"carriage returns are ordinary bytes", {"a\r\nb\rc\n"}, {"a\r\n", "b\rc\n"}},
      {"line longer than the buffer", {long_line, "tail"}, {long_line, "tail"}},
      // Read straight into the line in ever larger reads, which then bring
      // more than the buffer holds after the line's end.
      {"long lines back to back",
       {very_long_line + long_line + very_long_line + "a\nb"},
       {very_long_line, long_line, very_long_line, "a\n", "b"}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    Pipe p = pipe_or_die();
    // Every case is written before it is read: the pipe must hold it all.
    ASSERT_GE(::fcntl(p.write.get(), F_SETPIPE_SZ, 1 << 20), 1 << 20);
    for (const std::string& w : tc.writes) ASSERT_TRUE(write_all(p.write.get(), w));
    p.write.reset();
    EXPECT_EQ(read_all_lines(p.read.get()), tc.lines);
  }
}

TEST(IoTest, WriterAndReaderOnTwoThreadsCarryEveryByte) {
  // Far more than a pipe holds, so writer and reader must take turns.
  std::string expected;
  for (int i = 0; i < 40000; ++i) expected += "line " + std::to_string(i) + "\n";
  Pipe p = pipe_or_die();
  std::vector<std::string> lines;
  std::thread reader([&] { lines = read_all_lines(p.read.get()); });
  {
    FdWriter w(p.write.get());
    std::size_t i = 0;
    // Mixed piece sizes: bytes, small pieces, and pieces beyond the buffer.
    while (i < expected.size()) {
      const std::size_t piece = i % 3 == 0 ? 1 : i % 3 == 1 ? 100 : 20000;
      const std::size_t n = std::min(expected.size() - i, piece);
      if (n == 1) {
        ASSERT_TRUE(w.put(expected[i]));
      } else {
        ASSERT_TRUE(w.write(std::string_view(expected).substr(i, n)));
      }
      i += n;
    }
    ASSERT_TRUE(w.flush());
  }
  p.write.reset();
  reader.join();
  std::string got;
  for (const std::string& l : lines) got += l;
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

TEST(IoTest, WritingToAPipeWithoutReaderFailsInsteadOfRaisingSigpipe) {
  // With the default disposition a SIGPIPE would end this test process.
  struct sigaction old {};
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ASSERT_EQ(::sigaction(SIGPIPE, &dfl, &old), 0);
  Pipe p = pipe_or_die();
  p.read.reset();
  auto s = write_all(p.write.get(), "hello");
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message(), "Broken pipe (os error 32)");
  FdWriter w(p.write.get());
  ASSERT_TRUE(w.write("buffered"));
  auto f = w.flush();
  ASSERT_FALSE(f);
  EXPECT_EQ(f.error().message(), "Broken pipe (os error 32)");
  // Nothing left pending for the thread either.
  sigset_t pending;
  sigemptyset(&pending);
  ::sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  ::sigaction(SIGPIPE, &old, nullptr);
}

}  // namespace
}  // namespace vesk
