#pragma once

// rosbag2 folders: metadata.yaml (rosbag2_bagfile_information: the storage, the files in order,
// the topics with their QoS text) beside one or more storage files, read as one recording. A
// folder whose metadata.yaml was lost (the recorder was killed) is read from its storage files
// alone, in the order of the index at the end of their names (name_0, name_1, ... name_10).

#include <memory>
#include <string>

#include "ros2_storage/recording.h"

namespace ros2_storage {

// True for a folder holding metadata.yaml, or a regular file that starts as an MCAP or SQLite
// file does.
bool is_rosbag2_folder(const std::string& path);

// Opens the folder at `path`. Throws std::runtime_error naming the fault: "<folder>/metadata.yaml
// is no rosbag2 metadata: ...", "<folder>/metadata.yaml lists f.mcap, which is not in the
// folder", "<folder>/metadata.yaml names the storage S, which is not read", "<folder>/f.db3
// holds no sqlite3 file, which metadata.yaml names as the storage", "<folder> holds both MCAP
// and SQLite files and no metadata.yaml", and the storages' faults.
std::unique_ptr<Recording> open_rosbag2_folder(const std::string& path);

// Whether `a` comes before `b` when the runs of digits in them are compared as numbers
// ("x_2.mcap" before "x_10.mcap").
bool natural_less(const std::string& a, const std::string& b);

}  // namespace ros2_storage
