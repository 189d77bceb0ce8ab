#include "safe_output/file_kind.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

namespace {

// The texts the programs put in "<path> is not a regular file (<kind>)": a kind named wrongly,
// or a regular file named at all, would refuse or misreport an input.
TEST(FileKind, NamesEveryKindButARegularFile) {
  const struct {
    mode_t mode;
    std::string kind;
  } cases[] = {
      {S_IFREG | 0644, ""},
      {S_IFIFO | 0600, "a FIFO"},
      {S_IFDIR | 0755, "a directory"},
      {S_IFCHR | 0666, "a character device"},
      {S_IFBLK | 0660, "a block device"},
      {S_IFSOCK | 0777, "a socket"},
      {S_IFLNK | 0777, "not a file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    EXPECT_EQ(safe_output::file_kind(c.mode), c.kind);
  }
}

}  // namespace
