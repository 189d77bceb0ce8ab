#pragma once

#include <string>

// How scanmerge_node turns its options into the directory to merge and the file to write.
namespace scan_paths {

// An option value counts as given unless it is empty or exactly "None" (what a supervisor
// passes for an unset path).
bool is_given(const std::string& value);

// The keyframe directory of a project directory: its subdirectory "scan", joined with exactly
// one "/" unless the project directory already ends in one. "/" gives "/scan".
std::string scan_dir_of_project(const std::string& input_dir);

// Where the merged cloud of `scan_dir` goes when no output path is given. One trailing "/" is
// dropped; a directory named "scan" puts the file in its parent, named after the parent
// (/data/site1/scan -> /data/site1/site1_full.pcd); any other directory gets the file inside,
// named after itself (cloud -> cloud/cloud_full.pcd). An empty name becomes "merged"
// (/scan -> /merged_full.pcd).
std::string derived_output_path(const std::string& scan_dir);

}  // namespace scan_paths
