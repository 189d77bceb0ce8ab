#include "safe_output/output_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "testing/output_paths.h"
#include "testing/temp_dir.h"

namespace {

using drone_test::dir_entries;
using drone_test::path_state;

// Writes `text` to `path` through an OutputFile; the first failure text, or "".
std::string write_whole(const std::string& path, const std::string& text) {
  safe_output::OutputFile out(path);
  std::string error = out.open();
  if (error.empty()) error = out.write(text.data(), text.size());
  if (error.empty()) error = out.commit();
  return error;
}

TEST(OutputFileTest, UnwritablePlacesLeaveNothing) {
  const drone_test::TempDir dir;
  const struct {
    std::string path;
    std::string error;
  } cases[] = {
      {dir.file("missing/out.pcd"), "No such file or directory"},
      {dir.file("sub/"), "not a file path"},
      {"", "not a file path"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(write_whole(c.path, "new"), c.error);
  }
  EXPECT_TRUE(dir_entries(dir.path()).empty());
}

TEST(OutputFileTest, FailedWriteKeepsTheEarlierOutput) {
  // A file size limit makes the write fail as a full disk does; the child reports whether the
  // failure came back as a text.
  const drone_test::TempDir dir;
  const std::string out = dir.file("out.pcd");
  drone_test::write_file(out, "earlier output");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string error = write_whole(out, std::string(4096, 'x'));
    _exit(error == "File too large" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(path_state(out), "file:earlier output");
  EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"out.pcd"});
}

// A child that has an output file half written when it receives `signal_number`.
int signalled_mid_write(const std::string& out, int signal_number) {
  const pid_t pid = fork();
  if (pid == 0) {
    safe_output::OutputFile file(out);
    if (!file.open().empty() || !file.write("partial", 7).empty()) _exit(3);
    raise(signal_number);
    _exit(4);  // the signal was caught and the program went on
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? WTERMSIG(status) : -WEXITSTATUS(status);
}

TEST(OutputFileTest, EndingSignalsRemoveTheTemporaryFileAndStillEndTheProcess) {
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    const drone_test::TempDir dir;
    const std::string out = dir.file("out.pcd");
    drone_test::write_file(out, "earlier output");
    EXPECT_EQ(signalled_mid_write(out, signal_number), signal_number);
    EXPECT_EQ(path_state(out), "file:earlier output");
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"out.pcd"});
  }
}

TEST(OutputFileTest, NextRunRemovesTemporaryFilesOfDeadProcessesOnly) {
  const drone_test::TempDir dir;
  // A process id that has just ended, and one that lives (the test runner's parent).
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  const std::string stale = ".out.pcd." + std::to_string(dead) + ".0.part";
  const std::string live = ".out.pcd." + std::to_string(getppid()) + ".3.part";
  // Names that are not temporary files of this output.
  const std::string others[] = {".other.pcd." + std::to_string(dead) + ".0.part",
                                ".out.pcd.x" + std::to_string(dead) + ".0.part",
                                ".out.pcd." + std::to_string(dead) + ".part"};
  for (const std::string& name : {stale, live}) drone_test::write_file(dir.file(name), "x");
  for (const std::string& name : others) drone_test::write_file(dir.file(name), "x");
  EXPECT_EQ(write_whole(dir.file("out.pcd"), "new"), "");
  std::vector<std::string> expected = {live, "out.pcd"};
  for (const std::string& name : others) expected.push_back(name);
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> got = dir_entries(dir.path());
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, expected);
}

}  // namespace
