#include "safe_output/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace safe_output {

namespace {

std::string system_text(int error) { return std::strerror(error); }

// Where the output's name starts; npos for a path without a name ("", "dir/", ".", "..").
size_t name_start(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  const std::string name = path.substr(start);
  if (name.empty() || name == "." || name == "..") return std::string::npos;
  return start;
}

}  // namespace

OutputFile::OutputFile(std::string target) : target_(std::move(target)) {}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

std::string OutputFile::open() {
  const size_t start = name_start(target_);
  if (start == std::string::npos) return "not a file path";
  // lstat: a symbolic link is itself replaced by the rename, whatever it points at.
  struct stat st {};
  if (::lstat(target_.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return "exists and is not a regular file";
  } else if (errno != ENOENT) {
    return system_text(errno);
  }
  const std::string stem =
      target_.substr(0, start) + "." + target_.substr(start) + "." + std::to_string(::getpid());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = stem + "." + std::to_string(attempt) + ".part";
    fd_ = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      temp_ = candidate;
      return "";
    }
    if (errno != EEXIST) return system_text(errno);
  }
  return system_text(EEXIST);
}

std::string OutputFile::write(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd_, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return system_text(errno);
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return "";
}

std::string OutputFile::commit() {
  // Durable before it takes the output's name, so the output is the old file or the whole new
  // one even after a power cut.
  if (::fsync(fd_) != 0) return system_text(errno);
  const int rc = ::close(fd_);
  fd_ = -1;
  if (rc != 0) return system_text(errno);
  // The output may have turned into a directory or device since open(); rename would replace
  // an empty directory.
  struct stat st {};
  if (::lstat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    return "exists and is not a regular file";
  }
  if (::rename(temp_.c_str(), target_.c_str()) != 0) return system_text(errno);
  temp_.clear();
  return "";
}

}  // namespace safe_output
