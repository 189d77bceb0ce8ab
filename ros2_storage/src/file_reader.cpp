#include "file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace ros2_storage {

const char* file_type(unsigned mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

FileReader::FileReader(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  struct stat info {};
  if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
    const std::string what = path + " is not a regular file (" + file_type(info.st_mode) + ")";
    ::close(fd_);
    throw std::runtime_error(what);
  }
  size_ = static_cast<uint64_t>(info.st_size);
#ifdef POSIX_FADV_SEQUENTIAL
  // Storage files are read from start to end: the kernel reads ahead further.
  ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

FileReader::FileReader(int fd) : fd_(fd) {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) {
    const std::string what = std::string("cannot read a scratch file: ") + std::strerror(errno);
    ::close(fd_);
    throw std::runtime_error(what);
  }
  size_ = static_cast<uint64_t>(info.st_size);
}

FileReader::~FileReader() { ::close(fd_); }

void FileReader::read_ahead(uint64_t pos, uint64_t n) const {
  if (pos >= size_) return;
#ifdef POSIX_FADV_WILLNEED
  ::posix_fadvise(fd_, static_cast<off_t>(pos), static_cast<off_t>(std::min(n, size_ - pos)),
                  POSIX_FADV_WILLNEED);
#endif
}

bool FileReader::read_at(uint64_t pos, void* out, uint64_t n) const {
  if (pos > size_ || n > size_ - pos) return false;
  auto* bytes = static_cast<uint8_t*>(out);
  while (n > 0) {
    const ssize_t got = ::pread(fd_, bytes, n, static_cast<off_t>(pos));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    pos += static_cast<uint64_t>(got);
    n -= static_cast<uint64_t>(got);
  }
  return true;
}

}  // namespace ros2_storage
