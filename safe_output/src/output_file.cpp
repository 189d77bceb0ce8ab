#include "safe_output/output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
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

// The temporary files of this process, for the signal handler: fixed slots that the handler
// reads without locks or allocation. A slot's path is written before its file is created and
// the slot is freed only after the file was renamed or removed, so the handler may unlink a
// path that is not there (harmless) but never misses a file of ours.
constexpr int kSlots = 32;
constexpr size_t kPathBytes = 4096;
enum SlotState : int { kFree = 0, kWriting = 1, kArmed = 2 };
struct Slot {
  std::atomic<int> state{kFree};
  char path[kPathBytes];
};
Slot g_slots[kSlots];
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Removes every armed temporary file, then lets the signal do what it does by default, so that
// the exit status tells it. Only async-signal-safe calls.
void remove_temporaries_and_die(int signal_number) {
  for (Slot& slot : g_slots) {
    if (slot.state.load(std::memory_order_acquire) == kArmed) ::unlink(slot.path);
  }
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal_number, &action, nullptr);
  ::raise(signal_number);
}

// Installs the handler once per process, for the signals that are not ignored (a program
// started under nohup keeps ignoring SIGHUP) and have no handler of the program's own.
void install_handler() {
  static std::atomic<bool> installed{false};
  if (installed.exchange(true)) return;
  for (const int signal_number : kSignals) {
    struct sigaction current {};
    if (::sigaction(signal_number, nullptr, &current) != 0) continue;
    if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO) != 0) continue;
    struct sigaction action {};
    action.sa_handler = &remove_temporaries_and_die;
    sigemptyset(&action.sa_mask);
    // Deferred: the handler re-raises after resetting the action, which then ends the process
    // as soon as the handler returns.
    action.sa_flags = 0;
    ::sigaction(signal_number, &action, nullptr);
  }
}

// A free slot holding `path`, armed; -1 when the path is too long or every slot is taken (the
// file then stays behind after a signal, as it would without the registry).
int arm(const std::string& path) {
  if (path.size() >= kPathBytes) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!g_slots[i].state.compare_exchange_strong(expected, kWriting)) continue;
    std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
    g_slots[i].state.store(kArmed, std::memory_order_release);
    return i;
  }
  return -1;
}

void disarm(int slot) {
  if (slot >= 0) g_slots[slot].state.store(kFree, std::memory_order_release);
}

// The process id in a temporary name ".<name>.<pid>.<n>.part" of the output `name`; 0 when
// `entry` is not such a name.
long temp_owner(const std::string& entry, const std::string& name) {
  const std::string prefix = "." + name + ".";
  const std::string suffix = ".part";
  if (entry.size() <= prefix.size() + suffix.size() ||
      entry.compare(0, prefix.size(), prefix) != 0 ||
      entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return 0;
  }
  const std::string middle =
      entry.substr(prefix.size(), entry.size() - prefix.size() - suffix.size());
  const size_t dot = middle.find('.');
  if (dot == 0 || dot == std::string::npos || dot > 9) return 0;
  for (size_t i = 0; i < middle.size(); ++i) {
    if (i != dot && (middle[i] < '0' || middle[i] > '9')) return 0;
  }
  if (dot + 1 == middle.size()) return 0;
  return std::strtol(middle.substr(0, dot).c_str(), nullptr, 10);
}

// Removes the temporary files that processes which no longer exist left beside the output
// (after SIGKILL or a power cut). Files of live processes, ours included, stay.
void remove_stale_temporaries(const std::string& directory, const std::string& name) {
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const long owner = temp_owner(entry->d_name, name);
    if (owner <= 0 || owner == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(owner), 0) == 0 || errno != ESRCH) continue;
    ::unlinkat(::dirfd(dir), entry->d_name, 0);
  }
  ::closedir(dir);
}

}  // namespace

OutputFile::OutputFile(std::string target) : target_(std::move(target)) {}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) ::unlink(temp_.c_str());
  disarm(slot_);
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
  remove_stale_temporaries(target_.substr(0, start), target_.substr(start));
  install_handler();
  const std::string stem =
      target_.substr(0, start) + "." + target_.substr(start) + "." + std::to_string(::getpid());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = stem + "." + std::to_string(attempt) + ".part";
    // Known to the signal handler before it exists.
    disarm(slot_);
    slot_ = arm(candidate);
    fd_ = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      temp_ = candidate;
      return "";
    }
    const int error = errno;
    disarm(slot_);
    slot_ = -1;
    if (error != EEXIST) return system_text(error);
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
  disarm(slot_);
  slot_ = -1;
  return "";
}

}  // namespace safe_output
