#include "safe_output/output_file.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
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
  // A file size limit makes the write fail as a full disk does, though SIGXFSZ has its default
  // action (which would kill the child, leaving its temporary file); the child reports whether
  // the failure came back as a text.
  const drone_test::TempDir dir;
  const std::string out = dir.file("out.pcd");
  drone_test::write_file(out, "earlier output");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const rlimit limit{1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string error = write_whole(out, std::string(4096, 'x'));
    _exit(error == "File too large" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status)) : "");
  EXPECT_EQ(path_state(out), "file:earlier output");
  EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"out.pcd"});
}

// A child that has two output files written, not yet committed, when it receives
// `signal_number`.
int signalled_mid_write(const std::string& out, const std::string& mesh, int signal_number) {
  const pid_t pid = fork();
  if (pid == 0) {
    safe_output::OutputFile file(out);
    safe_output::OutputFile mesh_file(mesh);
    if (!file.open().empty() || !file.write("partial", 7).empty()) _exit(3);
    if (!mesh_file.open().empty() || !mesh_file.write("whole", 5).empty()) _exit(3);
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
    EXPECT_EQ(signalled_mid_write(out, dir.file("out.ply"), signal_number), signal_number);
    EXPECT_EQ(path_state(out), "file:earlier output");
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"out.pcd"});
  }
}

TEST(OutputFileTest, NextRunRemovesOnlyTemporaryFilesNoWriterHolds) {
  // A killed writer's file goes; a live writer's stays, though it is of this very process.
  const drone_test::TempDir dir;
  const std::string out = dir.file("out.pcd");
  const pid_t killed = fork();
  if (killed == 0) {
    safe_output::OutputFile file(out);
    _exit(file.open().empty() ? 0 : 3);  // as after SIGKILL: no destructor runs
  }
  waitpid(killed, nullptr, 0);
  ASSERT_EQ(dir_entries(dir.path()).size(), 1u);
  // Names that are not temporary files of this output.
  std::vector<std::string> others = {".other.pcd.0123456789abcdef.part",
                                     ".out.pcd.0123456789abcde.part",
                                     ".out.pcd.0123456789ABCDEF.part", ".out.pcd.1.0.part"};
  for (const std::string& name : others) drone_test::write_file(dir.file(name), "x");
  safe_output::OutputFile live(out);
  ASSERT_EQ(live.open(), "");
  ASSERT_EQ(live.write("live", 4), "");
  EXPECT_EQ(write_whole(out, "new"), "");
  EXPECT_EQ(live.commit(), "");
  EXPECT_EQ(path_state(out), "file:live");
  others.emplace_back("out.pcd");
  std::sort(others.begin(), others.end());
  EXPECT_EQ(dir_entries(dir.path()), others);
}

TEST(OutputFileTest, RunInAnotherPidNamespaceKeepsTheLiveFile) {
  const drone_test::TempDir dir;
  const std::string out = dir.file("out.bag");
  safe_output::OutputFile host(out);
  ASSERT_EQ(host.open(), "");
  ASSERT_EQ(host.write("host", 4), "");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // A container's run: the host's process ids do not exist in its namespace.
    if (unshare(CLONE_NEWPID) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0) _exit(77);
    const pid_t inner = fork();
    if (inner == 0) _exit(getpid() == 1 && write_whole(out, "container").empty() ? 0 : 1);
    int status = 0;
    waitpid(inner, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no PID namespace can be created here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(path_state(out), "file:container");
  EXPECT_EQ(host.commit(), "");
  EXPECT_EQ(path_state(out), "file:host");
}

TEST(OutputFileTest, LongNamesGetTemporaryNamesWithinTheLimit) {
  const drone_test::TempDir dir;
  for (const std::string character : {"a", "\u00e9", "\u4e2d", "\U0001f600"}) {
    for (size_t length = 244; length <= 256; ++length) {
      // `character` repeated, padded with 'a' to `length` bytes with the extension.
      std::string name;
      while (name.size() + character.size() + 4 <= length) name += character;
      name.append(length - 4 - name.size(), 'a');
      name += ".pcd";
      SCOPED_TRACE(std::to_string(length) + " bytes of " + character);
      if (length > 255) {
        EXPECT_EQ(write_whole(dir.file(name), "new"), "File name too long");
        continue;
      }
      // Two outputs that differ only at the end are open at once.
      std::string twin = name;
      twin[twin.size() - 5] = 'b';
      safe_output::OutputFile first(dir.file(name));
      safe_output::OutputFile second(dir.file(twin));
      ASSERT_EQ(first.open(), "");
      ASSERT_EQ(second.open(), "");
      const std::string temp = first.temp_path().substr(dir.path().size() + 1);
      const std::string other = second.temp_path().substr(dir.path().size() + 1);
      EXPECT_LE(temp.size(), 255u);
      // The name's beginning is kept up to a character boundary: the next byte starts one.
      const size_t kept = temp.find('~') - 1;
      EXPECT_EQ(temp.compare(1, kept, name, 0, kept), 0) << temp;
      EXPECT_NE(static_cast<unsigned char>(name[kept]) & 0xC0, 0x80) << temp;
      EXPECT_NE(temp.substr(0, temp.size() - 22), other.substr(0, other.size() - 22));
      EXPECT_EQ(first.write("new", 3), "");
      EXPECT_EQ(first.commit(), "");
      EXPECT_EQ(path_state(dir.file(name)), "file:new");
      EXPECT_EQ(dir_entries(dir.path()).size(), 2u);  // the output and the twin's file
      std::remove(dir.file(name).c_str());
    }
  }
  EXPECT_TRUE(dir_entries(dir.path()).empty());
}

TEST(OutputFileTest, OutputsCommittedTogetherAreRenamedOnlyWhenAllCanBe) {
  const drone_test::TempDir dir;
  const std::string cloud = dir.file("cloud.pcd");
  const std::string mesh = dir.file("cloud_mesh.ply");
  drone_test::write_file(cloud, "earlier cloud");
  safe_output::CommitResult done;
  {
    safe_output::OutputFile cloud_out(cloud);
    safe_output::OutputFile mesh_out(mesh);
    ASSERT_EQ(cloud_out.open(), "");
    ASSERT_EQ(mesh_out.open(), "");
    ASSERT_EQ(cloud_out.write("new cloud", 9), "");
    ASSERT_EQ(mesh_out.write("new mesh", 8), "");
    // The mesh's place turned into a directory while both were written: the cloud must not
    // take its name alone.
    mkdir(mesh.c_str(), 0755);
    done = safe_output::commit_together({&cloud_out, nullptr, &mesh_out});
  }
  EXPECT_EQ(done.error, "exists and is not a regular file");
  EXPECT_EQ(done.failed, 2u);
  EXPECT_EQ(path_state(cloud), "file:earlier cloud");
  EXPECT_EQ(dir_entries(dir.path()), (std::vector<std::string>{"cloud.pcd", "cloud_mesh.ply"}));
}

}  // namespace
