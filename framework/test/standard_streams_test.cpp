#include "framework/standard_streams.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

// Everything written into a pipe whose write ends are closed.
std::string drain(int fd) {
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return text;
}

// Standard output and error pointed at two pipes for the life of the object.
class CapturedStreams {
 public:
  CapturedStreams() {
    std::cout.flush();
    std::fflush(nullptr);
    if (::pipe(out_) != 0 || ::pipe(err_) != 0) throw std::runtime_error("pipe failed");
    saved_out_ = ::dup(STDOUT_FILENO);
    saved_err_ = ::dup(STDERR_FILENO);
    ::dup2(out_[1], STDOUT_FILENO);
    ::dup2(err_[1], STDERR_FILENO);
  }
  ~CapturedStreams() { restore(); }
  CapturedStreams(const CapturedStreams&) = delete;
  CapturedStreams& operator=(const CapturedStreams&) = delete;

  // Puts the streams back and returns what reached each: {standard output, standard error}.
  std::pair<std::string, std::string> restore() {
    if (saved_out_ < 0) return {};
    std::cout.flush();
    std::fflush(nullptr);
    ::dup2(saved_out_, STDOUT_FILENO);
    ::dup2(saved_err_, STDERR_FILENO);
    for (const int fd : {saved_out_, saved_err_, out_[1], err_[1]}) ::close(fd);
    saved_out_ = -1;
    return {drain(out_[0]), drain(err_[0])};
  }

 private:
  int out_[2] = {-1, -1};
  int err_[2] = {-1, -1};
  int saved_out_ = -1;
  int saved_err_ = -1;
};

// What a library prints while the guard lives goes to standard error, including text still in
// stdio's buffer when the guard ends; afterwards standard output is the original again.
TEST(StdoutToStderr, SendsPrintsToStandardErrorWhileItLives) {
  CapturedStreams streams;
  std::printf("before\n");
  {
    const drone_task::StdoutToStderr guard;
    std::printf("printf\n");
    std::cout << "cout\n";
  }
  std::printf("after\n");
  const auto [out, err] = streams.restore();
  EXPECT_EQ(out, "before\nafter\n");
  EXPECT_EQ(err, "printf\ncout\n");
}

// Whatever a library prints on either stream while the guard lives reaches neither, text left
// in stdio's buffers included; afterwards both streams are the originals again.
TEST(LibraryOutputSilenced, KeepsPrintsOffBothStreamsWhileItLives) {
  CapturedStreams streams;
  std::printf("before\n");
  std::fprintf(stderr, "before\n");
  {
    const drone_task::LibraryOutputSilenced guard;
    std::printf("printf");
    std::fprintf(stderr, "fprintf");
    std::cout << "cout\n";
    std::cerr << "cerr\n";
    std::clog << "clog";
  }
  std::printf("after\n");
  std::cerr << "after\n";
  const auto [out, err] = streams.restore();
  EXPECT_EQ(out, "before\nafter\n");
  EXPECT_EQ(err, "before\nafter\n");
}

}  // namespace
