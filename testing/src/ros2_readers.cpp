#include "testing/ros2_readers.h"

#include <sys/stat.h>
#include <cstdlib>
#include <stdexcept>

#include "testing/process.h"

namespace drone_test {

std::string hex(const void* data, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

std::string hex(const std::string& bytes) { return hex(bytes.data(), bytes.size()); }

std::vector<std::string> mcap_reference_lines(const std::string& path) {
  const char* source = std::getenv("DRONE_SOURCE_DIR");
  const std::string folder =
      std::string(source != nullptr ? source : ".") + "/testing/ros2-writers";
  struct stat st {};
  if (::stat((folder + "/node_modules/@mcap/core").c_str(), &st) != 0) {
    throw std::runtime_error("the reference MCAP readers are not installed: run `npm ci` in " +
                             folder + " (scripts/test.sh does)");
  }
  const ProcessResult run =
      run_process({"/usr/bin/env", "node", folder + "/read_records.js", path});
  if (run.exit_code != 0) throw std::runtime_error("@mcap/core refuses " + path + ": " + run.err);
  return split_lines(run.out);
}

std::vector<std::string> lines_of(const std::vector<std::string>& lines, const std::string& kind) {
  std::vector<std::string> found;
  for (const std::string& line : lines) {
    if (line.compare(0, kind.size() + 1, kind + "\t") == 0)
      found.push_back(line.substr(kind.size() + 1));
  }
  return found;
}

std::vector<std::string> sqlite_rows(const std::string& path, const std::string& sql) {
  // Opened as immutable, so that reading a recording in WAL mode (a fixture of the repository)
  // creates no -wal or -shm file beside it.
  std::string uri = "file:";
  for (const char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      uri += "%" + hex(&c, 1);
    } else {
      uri += c;
    }
  }
  uri += "?immutable=1";
  const ProcessResult run = run_process(
      {"/usr/bin/sqlite3", "-batch", "-noheader", "-separator", "\t", "-readonly", uri, sql});
  if (run.exit_code != 0 || !run.err.empty()) {
    throw std::runtime_error("sqlite3 refuses " + path + ": " + run.err);
  }
  return split_lines(run.out);
}

}  // namespace drone_test
