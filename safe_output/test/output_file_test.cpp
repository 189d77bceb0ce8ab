#include "safe_output/output_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

}  // namespace
