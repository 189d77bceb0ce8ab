#pragma once

// Odd things already lying at a program's output path, and runs whose writes fail, for the
// tests of every program that writes a file.

#include <string>
#include <vector>

namespace drone_test {

// One kind of thing at an output path.
struct OutputPathKind {
  const char* name;  // "symbolic link", "character device", "FIFO", "directory"
  bool replaced;     // true: the writer replaces it and succeeds; false: it is refused
};

// Every kind above: a symbolic link (replaced, its target left as it was) and the kinds that
// are not regular files (refused, left as they were).
std::vector<OutputPathKind> output_path_kinds();

// Makes `path` a thing of `kind`: a symbolic link to `link_target`, a character device like
// /dev/null, a FIFO or an empty directory. Returns false when this kind cannot be made here
// (a device node needs root); throws std::runtime_error when making it fails otherwise.
bool make_output_path(const OutputPathKind& kind, const std::string& path,
                      const std::string& link_target);

// What lies at `path`, without following a symbolic link: its type and, for a regular file,
// its contents; for a link, where it points; for a device, its number. Two calls give the same
// text exactly when the thing was left as it was.
std::string path_state(const std::string& path);

// Names in `dir` other than "." and "..", sorted.
std::vector<std::string> dir_entries(const std::string& dir);

// The words that run a command with its files limited to `kib` KiB, as ulimit -f or a service's
// LimitFSIZE does; SIGXFSZ keeps its default action, which kills a program that does not ignore
// it.
std::vector<std::string> file_size_limit_prefix(unsigned kib);

}  // namespace drone_test
