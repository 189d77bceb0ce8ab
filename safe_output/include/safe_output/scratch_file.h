#pragma once

// Scratch files: bytes too many to hold in memory (a large recorded chunk decompressed), set
// down on disk while they are read, in a file that no name leads to, so that nothing is left
// behind however the process ends.

#include <cstddef>
#include <string>

namespace safe_output {

// The folder scratch files go in: $TMPDIR when it is set and not empty, else /tmp.
std::string scratch_dir();

// A read-write file without a name in a folder: O_TMPFILE where the file system has it, else a
// file created as <dir>/<prefix>.XXXXXX and unlinked at once. The system removes it when its
// descriptor is closed (by the destructor, or by whoever it was released to) or the process ends.
class ScratchFile {
 public:
  // fd() is -1, with errno set, when no such file can be made in `dir`.
  ScratchFile(const std::string& dir, const std::string& prefix);
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  int fd() const { return fd_; }
  // Appends all `n` bytes at `data`, resuming after interruptions; false with errno set when a
  // write fails.
  bool write(const void* data, size_t n);
  // Hands the descriptor to the caller, who closes it; fd() is -1 after.
  int release();

 private:
  int fd_ = -1;
};

}  // namespace safe_output
