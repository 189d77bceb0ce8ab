#include "safe_output/output_file.h"
#include "safe_output/output_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

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
  bool folder = false;  // a temporary folder, removed after the files in it
  char path[kPathBytes];
};
Slot g_slots[kSlots];
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// While outputs of a set are being renamed, an ending signal is held in g_pending and acted on
// once the renames are done, so the set is not left half renamed.
std::atomic<int> g_renaming{0};
std::atomic<int> g_pending{0};

// Removes every armed temporary file, then lets the signal do what it does by default, so that
// the exit status tells it. Only async-signal-safe calls.
void remove_temporaries_and_die(int signal_number) {
  for (Slot& slot : g_slots) {
    if (slot.state.load(std::memory_order_acquire) == kArmed && !slot.folder) ::unlink(slot.path);
  }
  for (Slot& slot : g_slots) {
    if (slot.state.load(std::memory_order_acquire) == kArmed && slot.folder) ::rmdir(slot.path);
  }
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal_number, &action, nullptr);
  ::raise(signal_number);
}

// The pending signal is stored before the renaming flag is read, and whoever takes it out of
// g_pending (this handler, or the renaming thread when it is done) acts on it: it is never lost
// and never acted on twice.
void on_ending_signal(int signal_number) {
  g_pending.store(signal_number);
  if (g_renaming.load() != 0) return;
  const int pending = g_pending.exchange(0);
  if (pending != 0) remove_temporaries_and_die(pending);
}

// Installs the handler once per process, for the signals that are not ignored (a program
// started under nohup keeps ignoring SIGHUP) and have no handler of the program's own; and
// ignores SIGXFSZ under the same condition, so an exceeded file size limit is a failed write.
void install_handler() {
  static std::atomic<bool> installed{false};
  if (installed.exchange(true)) return;
  for (const int signal_number : kSignals) {
    struct sigaction current {};
    if (::sigaction(signal_number, nullptr, &current) != 0) continue;
    if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO) != 0) continue;
    struct sigaction action {};
    action.sa_handler = &on_ending_signal;
    sigemptyset(&action.sa_mask);
    // A held signal returns from the handler, and the interrupted call goes on.
    action.sa_flags = SA_RESTART;
    ::sigaction(signal_number, &action, nullptr);
  }
  struct sigaction current {};
  if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
      (current.sa_flags & SA_SIGINFO) == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
  }
}

// A free slot holding `path`, armed; -1 when the path is too long or every slot is taken (the
// file then stays behind after a signal, as it would without the registry).
int arm(const std::string& path, bool folder = false) {
  if (path.size() >= kPathBytes) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!g_slots[i].state.compare_exchange_strong(expected, kWriting)) continue;
    g_slots[i].folder = folder;
    std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
    g_slots[i].state.store(kArmed, std::memory_order_release);
    return i;
  }
  return -1;
}

void disarm(int slot) {
  if (slot >= 0) g_slots[slot].state.store(kFree, std::memory_order_release);
}

// The temporary name is "." + stem + "." + 16 hex digits + ".part".
constexpr size_t kTokenDigits = 16;
constexpr size_t kTempExtra = 1 + 1 + kTokenDigits + 5;
constexpr size_t kHashExtra = 1 + 8;  // "~" and 8 hex digits
constexpr char kHex[] = "0123456789abcdef";

std::string hex(uint64_t value, size_t digits) {
  std::string text(digits, '0');
  for (size_t i = digits; i-- > 0; value >>= 4) text[i] = kHex[value & 15];
  return text;
}

// The longest name the file system of `directory` takes; 255 when it does not say.
size_t name_limit(const std::string& directory) {
  const long limit = ::pathconf(directory.empty() ? "." : directory.c_str(), _PC_NAME_MAX);
  return limit > 0 ? static_cast<size_t>(limit) : 255;
}

// The part of the temporary names that stands for the output's name `name`: the name itself
// when the temporary name fits the limit, else its leading bytes up to a whole UTF-8 character
// and "~" with a hash (FNV-1a) of the whole name, so outputs sharing a long beginning keep
// apart.
std::string temp_stem(const std::string& name, size_t limit) {
  if (name.size() + kTempExtra <= limit) return name;
  size_t keep = limit > kTempExtra + kHashExtra ? limit - kTempExtra - kHashExtra : 0;
  keep = std::min(keep, name.size());
  // Never start the dropped part inside a character: back up to its lead byte.
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  uint32_t hash = 2166136261u;
  for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return name.substr(0, keep) + "~" + hex(hash, 8);
}

// 64 random bits for a temporary name, which then never names another run's file, in this PID
// namespace or any other.
uint64_t random_token() {
  uint64_t token = 0;
  if (::getrandom(&token, sizeof token, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof token)) {
    return token;
  }
  // No entropy yet (early boot): the process, the time and a counter still differ per file.
  static std::atomic<uint64_t> counter{0};
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<uint64_t>(::getpid()) << 40) ^ static_cast<uint64_t>(now.tv_nsec) ^
         (static_cast<uint64_t>(now.tv_sec) << 20) ^ (counter.fetch_add(1) << 56);
}

// Whether `entry` is a temporary name made from `stem`.
bool is_temp_name(const std::string& entry, const std::string& stem) {
  if (entry.size() != stem.size() + kTempExtra || entry[0] != '.' ||
      entry.compare(1, stem.size(), stem) != 0 || entry[1 + stem.size()] != '.' ||
      entry.compare(entry.size() - 5, 5, ".part") != 0) {
    return false;
  }
  const size_t digits = 2 + stem.size();
  for (size_t i = digits; i < digits + kTokenDigits; ++i) {
    const char c = entry[i];
    if ((c < '0' || c > '9') && (c < 'a' || c > 'f')) return false;
  }
  return true;
}

// Takes an open file description lock on all of `fd`: a write lock for the writer, a read lock
// for the cleanup's probe. Unlike a process-associated lock it stays while another descriptor
// of the same file is closed (the bag writer patches its header through one), and it excludes
// another OutputFile of this very process as well. Returns 0 or the error.
int lock_whole(int fd, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 0 : errno;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes the temporary files of this output whose writer no longer holds them (it was killed
// or the machine lost power). A file whose lock cannot be taken, or that cannot be opened or
// locked at all (a file system without these locks), stays.
void remove_stale_temporaries(const std::string& directory, const std::string& stem) {
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    if (!is_temp_name(entry->d_name, stem)) continue;
    const int fd = ::openat(::dirfd(dir), entry->d_name,
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat held {};
    struct stat named {};
    // The name must still be the file that was probed, or the unlink would hit a newer one.
    if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && lock_whole(fd, F_RDLCK) == 0 &&
        ::fstatat(::dirfd(dir), entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(held, named)) {
      ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::close(fd);
  }
  ::closedir(dir);
}

}  // namespace

OutputFile::OutputFile(std::string target) : target_(std::move(target)) {}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) ::unlink(temp_.c_str());
  if (lock_fd_ >= 0) ::close(lock_fd_);
  disarm(slot_);
}

std::string OutputFile::open() {
  const size_t start = name_start(target_);
  if (start == std::string::npos) return "not a file path";
  // lstat: a symbolic link is itself replaced by the rename, whatever it points at. A name
  // longer than the file system takes fails here, with the system's text.
  struct stat st {};
  if (::lstat(target_.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return "exists and is not a regular file";
  } else if (errno != ENOENT) {
    return system_text(errno);
  }
  const std::string directory = target_.substr(0, start);
  const std::string stem = temp_stem(target_.substr(start), name_limit(directory));
  remove_stale_temporaries(directory, stem);
  install_handler();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate =
        directory + "." + stem + "." + hex(random_token(), kTokenDigits) + ".part";
    // Known to the signal handler before it exists.
    disarm(slot_);
    slot_ = arm(candidate);
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      const int error = errno;
      disarm(slot_);
      slot_ = -1;
      if (error != EEXIST) return system_text(error);
      continue;
    }
    // Another run's cleanup may probe the new file before it is locked and remove it: then the
    // lock is refused, or the name no longer leads to this file, and another name is tried. A
    // file system without these locks keeps the file unlocked; no cleanup removes it there.
    const int locked = lock_whole(fd, F_WRLCK);
    struct stat held {};
    struct stat named {};
    // The lock belongs to the open file description, which a second descriptor keeps until
    // the rename, after the written one was closed and its close checked.
    const int keeper = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (locked != EAGAIN && locked != EACCES && keeper >= 0 && ::fstat(fd, &held) == 0 &&
        ::lstat(candidate.c_str(), &named) == 0 && same_file(held, named)) {
      fd_ = fd;
      lock_fd_ = keeper;
      temp_ = candidate;
      return "";
    }
    const int error = keeper < 0 ? errno : 0;
    if (keeper >= 0) ::close(keeper);
    ::close(fd);
    if (error != 0) {
      ::unlink(candidate.c_str());
      disarm(slot_);
      slot_ = -1;
      return system_text(error);
    }
    disarm(slot_);
    slot_ = -1;
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

std::string OutputFile::finish() {
  if (temp_.empty()) return system_text(EBADF);
  if (fd_ < 0) return "";
  // Durable before it takes the output's name, so the output is the old file or the whole new
  // one even after a power cut. The lock stays with lock_fd_ until the rename.
  if (::fsync(fd_) != 0) return system_text(errno);
  const int rc = ::close(fd_);
  fd_ = -1;
  return rc == 0 ? "" : system_text(errno);
}

std::string OutputFile::commit() { return commit_together({this}).error; }

CommitResult commit_together(const std::vector<OutputFile*>& files) {
  CommitResult result;
  for (size_t i = 0; i < files.size() && result.error.empty(); ++i) {
    if (files[i] == nullptr) continue;
    result.error = files[i]->finish();
    result.failed = i;
  }
  // An output may have turned into a directory or device since open(); rename would replace
  // an empty directory.
  for (size_t i = 0; i < files.size() && result.error.empty(); ++i) {
    if (files[i] == nullptr) continue;
    struct stat st {};
    if (::lstat(files[i]->target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode) &&
        !S_ISLNK(st.st_mode)) {
      result.error = "exists and is not a regular file";
      result.failed = i;
    }
  }
  if (!result.error.empty()) return result;
  g_renaming.fetch_add(1);
  for (size_t i = 0; i < files.size(); ++i) {
    OutputFile* file = files[i];
    if (file == nullptr) continue;
    if (::rename(file->temp_.c_str(), file->target_.c_str()) != 0) {
      result.error = system_text(errno);
      result.failed = i;
      break;
    }
    file->temp_.clear();
    ::close(file->lock_fd_);
    file->lock_fd_ = -1;
    disarm(file->slot_);
    file->slot_ = -1;
  }
  // A signal held during the renames ends the process now, removing what was not renamed.
  if (g_renaming.fetch_sub(1) == 1) {
    const int pending = g_pending.exchange(0);
    if (pending != 0) remove_temporaries_and_die(pending);
  }
  if (result.error.empty()) result.failed = 0;
  return result;
}

}  // namespace safe_output

// ----- OutputFolder -----

namespace safe_output {

namespace {

// Whether the folder at `path` may be replaced by a new recording: it holds nothing, or only
// regular files with metadata.yaml among them. `names` gets its entries.
bool replaceable_folder(const std::string& path, std::vector<std::string>* names) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return false;
  bool only_files = true;
  bool has_metadata = false;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode)) {
      only_files = false;
    }
    if (name == "metadata.yaml") has_metadata = true;
    names->push_back(name);
  }
  ::closedir(dir);
  return only_files && (names->empty() || has_metadata);
}

// Removes the temporary folders of this output whose writer no longer holds them (it was killed
// or the machine lost power): a live writer holds a lock on its folder for the folder's whole
// life. Only the regular files inside are removed, then the folder if that empties it.
void remove_stale_folders(const std::string& directory, const std::string& stem) {
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    if (!is_temp_name(entry->d_name, stem)) continue;
    const int fd =
        ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      if (DIR* stale = ::fdopendir(::dup(fd))) {
        while (const dirent* file = ::readdir(stale)) {
          struct stat st {};
          if (::fstatat(::dirfd(stale), file->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
              S_ISREG(st.st_mode)) {
            ::unlinkat(::dirfd(stale), file->d_name, 0);
          }
        }
        ::closedir(stale);
      }
      ::unlinkat(::dirfd(dir), entry->d_name, AT_REMOVEDIR);
    }
    ::close(fd);
  }
  ::closedir(dir);
}

constexpr char kNotReplaceable[] =
    "exists and is not a recording folder (only a folder holding metadata.yaml and files, or an "
    "empty one, is replaced)";

}  // namespace

OutputFolder::OutputFolder(std::string target) : target_(std::move(target)) {
  while (target_.size() > 1 && target_.back() == '/') target_.pop_back();
}

OutputFolder::~OutputFolder() {
  if (!temp_.empty()) {
    for (const std::string& path : file_paths_) ::unlink(path.c_str());
    ::rmdir(temp_.c_str());
  }
  if (lock_fd_ >= 0) ::close(lock_fd_);
  for (const int slot : files_) disarm(slot);
  disarm(slot_);
}

std::string OutputFolder::open() {
  const size_t start = name_start(target_);
  if (start == std::string::npos) return "not a folder path";
  struct stat st {};
  if (::lstat(target_.c_str(), &st) == 0) {
    std::vector<std::string> names;
    if (!S_ISDIR(st.st_mode) || !replaceable_folder(target_, &names)) return kNotReplaceable;
  } else if (errno != ENOENT) {
    return system_text(errno);
  }
  const std::string directory = target_.substr(0, start);
  const std::string stem = temp_stem(target_.substr(start), name_limit(directory));
  remove_stale_folders(directory, stem);
  install_handler();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate =
        directory + "." + stem + "." + hex(random_token(), kTokenDigits) + ".part";
    disarm(slot_);
    slot_ = arm(candidate, true);
    if (::mkdir(candidate.c_str(), 0777) == 0) {
      temp_ = candidate;
      // Held until the folder is renamed or removed, so that another run's open() leaves it be.
      lock_fd_ = ::open(candidate.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (lock_fd_ >= 0) ::flock(lock_fd_, LOCK_EX | LOCK_NB);
      return "";
    }
    const int error = errno;
    disarm(slot_);
    slot_ = -1;
    if (error != EEXIST) return system_text(error);
  }
  return system_text(EEXIST);
}

std::string OutputFolder::add_file(const std::string& name) {
  std::string path = temp_ + "/" + name;
  files_.push_back(arm(path));
  file_paths_.push_back(path);
  return path;
}

std::string OutputFolder::commit() {
  if (temp_.empty()) return system_text(EBADF);
  const int fd = ::open(temp_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return system_text(errno);
  const int synced = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  if (synced != 0) return system_text(synced);

  std::string error;
  g_renaming.fetch_add(1);
  struct stat st {};
  std::vector<std::string> old_names;
  if (::lstat(target_.c_str(), &st) != 0) {
    if (::rename(temp_.c_str(), target_.c_str()) != 0) error = system_text(errno);
  } else if (!S_ISDIR(st.st_mode) || !replaceable_folder(target_, &old_names)) {
    error = kNotReplaceable;
  } else if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_EXCHANGE) !=
             0) {
    error = system_text(errno);
  } else {
    // The earlier recording now lies under the temporary name.
    for (const std::string& name : old_names) ::unlink((temp_ + "/" + name).c_str());
    ::rmdir(temp_.c_str());
  }
  if (error.empty()) {
    temp_.clear();
    if (lock_fd_ >= 0) ::close(lock_fd_);
    lock_fd_ = -1;
    for (const int slot : files_) disarm(slot);
    files_.clear();
    disarm(slot_);
    slot_ = -1;
  }
  if (g_renaming.fetch_sub(1) == 1) {
    const int pending = g_pending.exchange(0);
    if (pending != 0) remove_temporaries_and_die(pending);
  }
  return error;
}

}  // namespace safe_output
