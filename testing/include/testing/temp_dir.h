#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace drone_test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// Whole-file helpers; both throw std::runtime_error on I/O failure.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& contents);
// Writes the first `size` bytes of the file `from` to `to`; throws std::runtime_error when
// `from` is shorter.
void write_truncated_copy(const std::string& from, const std::string& to, size_t size);

// Inputs that are not regular files, each with what it is as the input checks name it
// ("a FIFO", "a directory", "a character device"): a FIFO without a writer made in `dir`, `dir`
// itself, and /dev/null.
struct NonRegularFile {
  std::string path;
  std::string kind;
};
std::vector<NonRegularFile> non_regular_files(const TempDir& dir);

}  // namespace drone_test
