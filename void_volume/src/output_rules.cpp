#include "output_rules.h"

#include <cstdio>
#include <string>

namespace caikongqu {
namespace detail {

int clamp_depth(int requested) {
  if (requested <= 4) return 5;
  if (requested > 12) return 12;
  return requested;
}

std::string base_name(const std::string& input_pcd) {
  const size_t slash = input_pcd.find_last_of("/\\");
  std::string base = slash == std::string::npos ? input_pcd : input_pcd.substr(slash + 1);
  const size_t dot = base.rfind('.');
  if (dot != std::string::npos) base.erase(dot);
  return base;
}

std::string reconstructed_path(const std::string& input_pcd, const std::string& output_dir) {
  return output_dir + "/" + base_name(input_pcd) + "_reconstructed.pcd";
}

std::string mesh_path(const std::string& input_pcd, const std::string& output_dir,
                      const std::string& extension) {
  return output_dir + "/" + base_name(input_pcd) + "_mesh." + extension;
}

}  // namespace detail
}  // namespace caikongqu
