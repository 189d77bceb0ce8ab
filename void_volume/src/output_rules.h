#pragma once

// The rules on the depth and the output names.

#include <string>

namespace caikongqu {
namespace detail {

// The reconstruction depth actually used: 4 or less becomes 5, above 12 becomes 12. Deeper
// octrees cost time and memory steeply for no gain on drone scans; shallower ones lose the shape.
int clamp_depth(int requested);

// Where the reconstructed cloud of `input_pcd` goes: `output_dir` + "/" + the input's base name
// (after its last '/' or '\') with everything from its last '.' cut off + "_reconstructed.pcd".
// The separator is added even when `output_dir` is empty or already ends in one.
std::string reconstructed_path(const std::string& input_pcd, const std::string& output_dir);

// Where the reconstructed mesh of `input_pcd` goes: as reconstructed_path, ending in "_mesh." and
// `extension`.
std::string mesh_path(const std::string& input_pcd, const std::string& output_dir,
                      const std::string& extension);

// The input's base name (after its last '/' or '\') with everything from its last '.' cut off.
std::string base_name(const std::string& input_pcd);

}  // namespace detail
}  // namespace caikongqu
