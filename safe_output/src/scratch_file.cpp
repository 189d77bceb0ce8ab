#include "safe_output/scratch_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace safe_output {

std::string scratch_dir() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
}

ScratchFile::ScratchFile(const std::string& dir, const std::string& prefix)
    : fd_(::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)) {
  if (fd_ >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return;
  std::string name = dir + "/" + prefix + ".XXXXXX";
  fd_ = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd_ >= 0) ::unlink(name.c_str());
}

ScratchFile::~ScratchFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool ScratchFile::write(const void* data, size_t n) {
  const auto* bytes = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t put = ::write(fd_, bytes, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

int ScratchFile::release() { return std::exchange(fd_, -1); }

}  // namespace safe_output
