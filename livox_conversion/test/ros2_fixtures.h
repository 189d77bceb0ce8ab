#pragma once

// ROS 2 Livox recordings for the conversion tests: the frames of a ROS 1 test recording written
// in CDR (by the tests' own CDR writer) into an MCAP file, a SQLite file or a rosbag2 folder,
// with other messages beside them.

#include <livox_ros_driver2/CustomMsg.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ros2_storage/recording_writer.h"

namespace cloudconv_test {

// One message of a ROS 2 test recording as written.
struct Ros2Message {
  std::string topic;
  uint64_t log_time;
  uint64_t publish_time;
  uint32_t sequence;
  std::vector<uint8_t> data;
};

// A ROS 2 recording at `path` in `options`' storage and shape: `frames` on /livox/lidar
// (livox_ros_driver2/msg/CustomMsg with its ros2msg definition and QoS text), each followed by
// a message of fixed-seed bytes on /status (std_msgs/msg/String, no definition stored), and
// /imu declared without messages. Frame i is logged at 1 s + 0.1 s x i. Returns every message
// in the order written.
std::vector<Ros2Message> write_ros2_recording(
    const std::string& path, const ros2_storage::WriterOptions& options,
    const std::vector<livox_ros_driver2::CustomMsg>& frames);

// The ros2msg definition of /livox/lidar's channel, as write_ros2_recording stores it.
std::string livox_definition();

}  // namespace cloudconv_test
