#pragma once

#include <ros/time.h>

#include <livox_ros_driver2/CustomMsg.h>

#include <cstdint>
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

}  // namespace drone_test
