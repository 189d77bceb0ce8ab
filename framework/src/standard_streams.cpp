#include "framework/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <streambuf>
#include <string>

namespace drone_task {
namespace detail {

namespace {

// An output buffer over a descriptor it owns: text gathers until a flush, which writes it in
// as few write() calls as the system allows, so that a report line leaves in one piece. A failed
// write makes the flush fail with errno set by the system.
class DescriptorBuffer : public std::streambuf {
 public:
  explicit DescriptorBuffer(int fd) : fd_(fd) {}
  ~DescriptorBuffer() override {
    sync();
    ::close(fd_);
  }
  DescriptorBuffer(const DescriptorBuffer&) = delete;
  DescriptorBuffer& operator=(const DescriptorBuffer&) = delete;

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) pending_ += traits_type::to_char_type(c);
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    pending_.append(data, static_cast<size_t>(count));
    return count;
  }
  int sync() override {
    size_t done = 0;
    while (done < pending_.size()) {
      const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        pending_.clear();
        return -1;
      }
      done += static_cast<size_t>(n);
    }
    pending_.clear();
    return 0;
  }

 private:
  int fd_;
  std::string pending_;
};

// A stream that owns its buffer.
class DescriptorStream : public std::ostream {
 public:
  explicit DescriptorStream(int fd) : std::ostream(nullptr), buffer_(fd) { rdbuf(&buffer_); }

 private:
  DescriptorBuffer buffer_;
};

}  // namespace

void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // open() returns the lowest free descriptor, which is this one.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) ::close(opened);
  }
}

std::unique_ptr<std::ostream> claim_standard_output() {
  std::cout.flush();
  std::fflush(stdout);
  const int reports = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (reports < 0) return std::make_unique<std::ostream>(std::cout.rdbuf());
  if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    ::close(reports);
    return std::make_unique<std::ostream>(std::cout.rdbuf());
  }
  return std::make_unique<DescriptorStream>(reports);
}

}  // namespace detail

namespace {

void flush_standard_output() {
  std::cout.flush();
  std::fflush(stdout);
}

void flush_standard_streams() {
  flush_standard_output();
  std::cerr.flush();
  std::clog.flush();
  std::fflush(stderr);
}

}  // namespace

StdoutToStderr::StdoutToStderr() {
  flush_standard_output();
  saved_ = ::dup(STDOUT_FILENO);
  if (saved_ >= 0 && ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    ::close(saved_);
    saved_ = -1;
  }
}

StdoutToStderr::~StdoutToStderr() {
  flush_standard_output();
  if (saved_ >= 0) {
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
}

LibraryOutputSilenced::LibraryOutputSilenced() {
  flush_standard_streams();
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return;
  for (int fd = STDOUT_FILENO; fd <= STDERR_FILENO; ++fd) {
    int& saved = saved_[fd - STDOUT_FILENO];
    saved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (saved >= 0 && ::dup2(null, fd) < 0) {
      ::close(saved);
      saved = -1;
    }
  }
  ::close(null);
}

LibraryOutputSilenced::~LibraryOutputSilenced() {
  flush_standard_streams();
  for (int fd = STDOUT_FILENO; fd <= STDERR_FILENO; ++fd) {
    const int saved = saved_[fd - STDOUT_FILENO];
    if (saved < 0) continue;
    ::dup2(saved, fd);
    ::close(saved);
  }
}

}  // namespace drone_task
