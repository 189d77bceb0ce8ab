#include "testing/livox.h"

#include <std_msgs/String.h>

namespace drone_test {

livox_ros_driver2::CustomMsg make_livox_frame(uint32_t seq, const ros::Time& stamp,
                                              const std::vector<XyzPoint>& points) {
  livox_ros_driver2::CustomMsg msg;
  msg.header.seq = seq;
  msg.header.stamp = stamp;
  msg.header.frame_id = "livox_frame";
  msg.timebase = stamp.toNSec();
  msg.point_num = static_cast<uint32_t>(points.size());
  msg.lidar_id = 1;
  msg.points.reserve(points.size());
  for (size_t i = 0; i < points.size(); ++i) {
    livox_ros_driver2::CustomPoint p;
    p.offset_time = static_cast<uint32_t>(i * 1000);
    p.x = points[i].x;
    p.y = points[i].y;
    p.z = points[i].z;
    p.reflectivity = points[i].reflectivity;
    p.tag = static_cast<uint8_t>(i % 4);
    p.line = static_cast<uint8_t>(i % 6);
    msg.points.push_back(p);
  }
  return msg;
}

void write_damage_recording(const std::string& path,
                            rosbag::compression::CompressionType compression, uint32_t frames) {
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  bag.setCompression(compression);
  for (uint32_t i = 0; i < frames; ++i) {
    const ros::Time stamp(100 + i, 0);
    const float f = static_cast<float>(i);
    bag.write(
        "/livox/lidar", stamp,
        make_livox_frame(i, stamp, {{1 + f, 2, 3, 10}, {4, 5 + f, 6, 20}, {7, 8, 9 + f, 30}}));
    std_msgs::String status;
    // 316 characters and their length word: 320 bytes.
    status.data = i + 1 == frames ? std::string(316, 's') : "frame " + std::to_string(i);
    bag.write("/status", stamp + ros::Duration(0, 500000000), status);
  }
  bag.close();
}

}  // namespace drone_test
