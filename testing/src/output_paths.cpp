#include "testing/output_paths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "testing/temp_dir.h"

namespace drone_test {

std::vector<OutputPathKind> output_path_kinds() {
  return {
      {"symbolic link", true}, {"character device", false}, {"FIFO", false}, {"directory", false}};
}

bool make_output_path(const OutputPathKind& kind, const std::string& path,
                      const std::string& link_target) {
  const std::string name = kind.name;
  int rc = 0;
  if (name == "symbolic link") {
    rc = ::symlink(link_target.c_str(), path.c_str());
  } else if (name == "character device") {
    if (::geteuid() != 0) return false;
    rc = ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3));  // what /dev/null is
    if (rc != 0 && errno == EPERM) return false;
  } else if (name == "FIFO") {
    rc = ::mkfifo(path.c_str(), 0666);
  } else if (name == "directory") {
    rc = ::mkdir(path.c_str(), 0777);
  } else {
    throw std::runtime_error("unknown output path kind " + name);
  }
  if (rc != 0)
    throw std::runtime_error("cannot make " + name + " " + path + ": " + strerror(errno));
  return true;
}

std::string path_state(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "absent";
  if (S_ISREG(st.st_mode)) return "file:" + read_file(path);
  if (S_ISLNK(st.st_mode)) {
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    return "link:" + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
  }
  if (S_ISCHR(st.st_mode)) return "chr:" + std::to_string(st.st_rdev);
  if (S_ISFIFO(st.st_mode)) return "fifo";
  if (S_ISDIR(st.st_mode)) return "dir:" + std::to_string(dir_entries(path).size());
  return "other";
}

std::vector<std::string> dir_entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> file_size_limit_prefix(unsigned kib) {
  // bash counts ulimit -f in KiB. SIGXFSZ keeps its default action: the program itself must
  // keep it from killing the run.
  return {"/bin/bash", "-c", "ulimit -f " + std::to_string(kib) + "; exec \"$@\"", "limit"};
}

}  // namespace drone_test
