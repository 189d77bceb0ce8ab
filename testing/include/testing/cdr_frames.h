#pragma once

// Livox frames as ROS 2 records them (livox_ros_driver2/msg/CustomMsg in CDR), written field by
// field from the CDR rules alone, and the definition text rosbag2 stores with their channel.

#include <livox_ros_driver2/CustomMsg.h>

#include <cstdint>
#include <string>
#include <vector>

namespace drone_test {

// The CDR bytes of `frame` (its seq is not stored: ROS 2 headers have none; its stamp's sec is
// stored as the int32 it is in ROS 2): the encapsulation 00 01 (little-endian) or 00 00
// (big-endian), each field aligned to its size from the byte after that header, points 20 bytes
// apart, the last unpadded, and the whole padded to a multiple of 4 with the pad count in the
// last option byte, as the recorder writes it.
std::vector<uint8_t> cdr_frame(const livox_ros_driver2::CustomMsg& frame, bool big_endian = false);

// The ros2msg definition text of livox_ros_driver2/msg/CustomMsg as rosbag2 stores it with a
// channel: the message's fields, then its dependencies (std_msgs/Header, builtin_interfaces/Time,
// livox_ros_driver2/CustomPoint) each after a line of '=' and "MSG: <package>/<Type>".
std::string livox_frame_definition();

}  // namespace drone_test
