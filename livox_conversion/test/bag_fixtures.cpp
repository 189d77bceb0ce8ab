#include "bag_fixtures.h"

#include <rosbag/bag.h>
#include <std_msgs/String.h>

#include <cstring>
#include <random>

#include "testing/livox.h"

namespace cloudconv_test {

std::vector<uint8_t> expected_cloud_data(const livox_ros_driver2::CustomMsg& frame) {
  std::vector<uint8_t> data;
  for (const livox_ros_driver2::CustomPoint& p : frame.points) {
    const float values[4] = {p.x, p.y, p.z, static_cast<float>(p.reflectivity)};
    uint8_t bytes[16];
    std::memcpy(bytes, values, sizeof bytes);
    data.insert(data.end(), bytes, bytes + 16);
  }
  return data;
}

livox_ros_driver2::CustomMsg random_frame(uint32_t seq, const ros::Time& stamp, size_t points,
                                          uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> coord(-80.0f, 80.0f);
  std::vector<drone_test::XyzPoint> xyz(points);
  for (drone_test::XyzPoint& p : xyz) {
    p.x = coord(rng);
    p.y = coord(rng);
    p.z = coord(rng);
    p.reflectivity = static_cast<uint8_t>(rng() % 256);
  }
  return drone_test::make_livox_frame(seq, stamp, xyz);
}

void write_small_recording(const std::string& path) {
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  bag.write("/livox/lidar", ros::Time(100, 0), random_frame(1, ros::Time(99, 5), 3, 11));
  std_msgs::String status;
  status.data = "armed";
  bag.write("/status", ros::Time(100, 50), status);
  bag.write("/livox/lidar", ros::Time(100, 100000000),
            random_frame(2, ros::Time(99, 100000005), 5, 12));
  bag.close();
}

}  // namespace cloudconv_test
