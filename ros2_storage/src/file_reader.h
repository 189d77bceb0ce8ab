#pragma once

// A read-only storage file that never reads past its size. A FIFO or device is refused without
// being read (and a FIFO without waiting for a writer).

#include <cstdint>
#include <string>

namespace ros2_storage {

class FileReader {
 public:
  // Throws std::runtime_error: "cannot open <path>: <reason>", "<path> is not a regular file
  // (a FIFO)" (or a directory, a character device, a block device, a socket).
  explicit FileReader(const std::string& path);
  // Takes over `fd`, an open regular file written in full (a scratch file), which it closes.
  explicit FileReader(int fd);
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  uint64_t size() const { return size_; }
  // Reads exactly n bytes at `pos`; false when they are not all in the file or a read fails.
  bool read_at(uint64_t pos, void* out, uint64_t n) const;
  // Asks the system to read the n bytes at `pos` ahead, while the caller works on what it holds.
  void read_ahead(uint64_t pos, uint64_t n) const;

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

// What a file of mode `mode` that is not a regular file is, in words: "a FIFO", "a directory".
const char* file_type(unsigned mode);

}  // namespace ros2_storage
