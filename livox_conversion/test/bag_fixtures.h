#pragma once

// Livox recordings and the clouds their conversion must give, for the conversion tests.

#include <ros/time.h>

#include <livox_ros_driver2/CustomMsg.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cloudconv_test {

// The cloud data the conversion must produce for a frame, built field by field: x, y, z bit for
// bit, then the reflectivity as a float, 16 bytes per point.
std::vector<uint8_t> expected_cloud_data(const livox_ros_driver2::CustomMsg& frame);

// Points with fixed-seed coordinates and reflectivities.
livox_ros_driver2::CustomMsg random_frame(uint32_t seq, const ros::Time& stamp, size_t points,
                                          uint32_t seed);

// A small recording: frames of 3 and 5 points on /livox/lidar and one std_msgs/String on
// /status. Converting it gives 3 messages, 2 converted, 1 copied, 8 points.
void write_small_recording(const std::string& path);

// A recording of the frames whose per-point times a cloud can carry, each with its own points,
// tags and lines, stored at 1 s + 0.1 s per frame on /livox/lidar with a std_msgs/String on
// /status after each: a frame whose header stamp is its timebase, one whose timebase comes
// 2.5 ms after its stamp, one whose timebase comes 10 ms before it, one with NaN and infinite
// coordinates, an empty one, one whose timebase and offsets add up past 64 bits of
// nanoseconds, and 1,000 fixed-seed points. Returns the frames in their record order.
std::vector<livox_ros_driver2::CustomMsg> write_timing_recording(const std::string& path);

}  // namespace cloudconv_test
