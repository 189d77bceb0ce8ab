#pragma once

#include <ros/time.h>
#include <rosbag/bag.h>

#include <livox_ros_driver2/CustomMsg.h>

#include <cstdint>
#include <string>
#include <vector>

namespace drone_test {

// A point as tests describe it; the other CustomPoint fields are derived from the index.
struct XyzPoint {
  float x;
  float y;
  float z;
  uint8_t reflectivity = 100;
};

// A Livox frame with the given header seq and stamp, frame_id "livox_frame", point_num set to
// the number of points, timebase = stamp in nanoseconds, and points whose offset_time, tag and
// line follow their index.
livox_ros_driver2::CustomMsg make_livox_frame(uint32_t seq, const ros::Time& stamp,
                                              const std::vector<XyzPoint>& points);

// A small recording for the damaged-bag tests, all in one chunk stored with `compression`:
// `frames` Livox frames of 3 points on /livox/lidar (connection 0), each followed by a
// std_msgs/String on /status (connection 1), the last of which holds 320 bytes, so that the
// chunk ends with a message that a converter copies. Frame i is stamped at 100 + i seconds.
void write_damage_recording(
    const std::string& path,
    rosbag::compression::CompressionType compression = rosbag::compression::Uncompressed,
    uint32_t frames = 2);

}  // namespace drone_test
