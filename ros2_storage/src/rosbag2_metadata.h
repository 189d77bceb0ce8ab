#pragma once

// metadata.yaml of a rosbag2 recording, as rosbag2 reads it: the rosbag2_bagfile_information
// document that describes the recording's files, topics, counts and times.

#include <cstdint>
#include <string>
#include <vector>

#include "ros2_storage/recording.h"

namespace ros2_storage {

// One storage file of a recording.
struct BagFileInformation {
  std::string path;    // relative to the folder
  uint64_t start = 0;  // log time of its earliest message, ns; 0 when it has none
  uint64_t end = 0;    // log time of its latest message, ns; 0 when it has none
  uint64_t messages = 0;
};

// One topic with the count of its messages.
struct BagTopicInformation {
  Channel channel;
  uint64_t messages = 0;
};

struct BagInformation {
  std::string storage_identifier;  // "mcap" or "sqlite3"
  std::vector<BagTopicInformation> topics;
  std::vector<BagFileInformation> files;
};

// The YAML text of metadata.yaml describing `information`. From `source_metadata` (the text of
// the metadata.yaml the recording was made from, or empty) the version, ros_distro, custom_data
// and every key this function does not compute are written back; without it, version 9 and no
// distribution. Throws std::runtime_error when `source_metadata` is not YAML.
std::string bag_information_yaml(const BagInformation& information,
                                 const std::string& source_metadata);

// The version of the document bag_information_yaml writes for `source_metadata`.
int bag_information_version(const std::string& source_metadata);

// The ros_distro that `source_metadata` names; empty when it names none or is empty.
std::string ros_distro_of(const std::string& source_metadata);

}  // namespace ros2_storage
