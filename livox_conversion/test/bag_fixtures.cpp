#include "bag_fixtures.h"

#include <rosbag/bag.h>
#include <std_msgs/String.h>

#include <cstring>
#include <limits>
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

std::vector<livox_ros_driver2::CustomMsg> write_timing_recording(const std::string& path) {
  using livox_ros_driver2::CustomMsg;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  // `points` with the offsets, tags and lines given, and timebase `timebase`.
  const auto frame = [](uint32_t seq, const ros::Time& stamp, uint64_t timebase,
                        const std::vector<drone_test::XyzPoint>& points,
                        const std::vector<uint32_t>& offsets, const std::vector<uint8_t>& tags,
                        const std::vector<uint8_t>& lines) {
    CustomMsg msg = drone_test::make_livox_frame(seq, stamp, points);
    msg.timebase = timebase;
    for (size_t i = 0; i < msg.points.size(); ++i) {
      msg.points[i].offset_time = offsets[i];
      msg.points[i].tag = tags[i];
      msg.points[i].line = lines[i];
    }
    return msg;
  };
  std::vector<CustomMsg> frames;
  frames.push_back(frame(1, ros::Time(100, 0), 100000000000ull,
                         {{1.5f, -2.25f, 3.0f, 0}, {-7.0f, 0.5f, 12.0f, 255}, {0, 0, 0, 7}},
                         {0, 50000000, 99999999}, {0, 0x10, 0xFF}, {0, 3, 5}));
  frames.push_back(frame(2, ros::Time(200, 500000000), 200502500000ull,
                         {{4, 5, 6, 1}, {7, 8, 9, 2}, {10, 11, 12, 3}}, {0, 1000, 99000000},
                         {1, 2, 3}, {1, 2, 3}));
  frames.push_back(frame(3, ros::Time(300, 0), 299990000000ull,
                         {{1, 1, 1, 10}, {2, 2, 2, 20}, {3, 3, 3, 30}}, {0, 10000000, 20000000},
                         {0, 1, 2}, {5, 4, 3}));
  frames.push_back(frame(4, ros::Time(400, 0), 400000000000ull,
                         {{nan, nan, nan, 9}, {inf, -inf, 0.25f, 8}, {0.5f, 0.5f, 0.5f, 7}},
                         {10, 20, 30}, {2, 2, 2}, {0, 0, 0}));
  frames.push_back(frame(5, ros::Time(500, 0), 500000000000ull, {}, {}, {}, {}));
  frames.push_back(frame(6, ros::Time(600, 0), std::numeric_limits<uint64_t>::max() - 10,
                         {{1, 2, 3, 4}}, {1000}, {0}, {255}));
  CustomMsg big = random_frame(7, ros::Time(700, 123456789), 1000, 3);
  big.timebase = ros::Time(700, 124456789).toNSec();
  for (size_t i = 0; i < big.points.size(); ++i) {
    big.points[i].offset_time = static_cast<uint32_t>(i * 100000);
  }
  frames.push_back(big);

  rosbag::Bag bag(path, rosbag::bagmode::Write);
  std_msgs::String status;
  for (size_t i = 0; i < frames.size(); ++i) {
    const ros::Time at(1.0 + 0.1 * static_cast<double>(i));
    bag.write("/livox/lidar", at, frames[i]);
    status.data = "frame " + std::to_string(i);
    bag.write("/status", at + ros::Duration(0.05), status);
  }
  bag.close();
  return frames;
}

}  // namespace cloudconv_test
