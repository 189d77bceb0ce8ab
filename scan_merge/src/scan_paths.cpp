#include "scan_paths.h"

#include <string>

namespace scan_paths {

bool is_given(const std::string& value) { return !value.empty() && value != "None"; }

std::string scan_dir_of_project(const std::string& input_dir) {
  std::string dir = input_dir;
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir + "scan";
}

std::string derived_output_path(const std::string& scan_dir) {
  std::string base = scan_dir;
  // Only one slash goes: "/p//" keeps "/p/", whose name is then empty.
  if (!base.empty() && base.back() == '/') base.pop_back();
  const std::string scan = "/scan";
  const size_t at = base.rfind(scan);
  if (at != std::string::npos && at + scan.size() == base.size()) base.erase(at);
  const size_t slash = base.rfind('/');
  std::string name = slash == std::string::npos ? base : base.substr(slash + 1);
  if (name.empty()) name = "merged";
  return base + "/" + name + "_full.pcd";
}

}  // namespace scan_paths
