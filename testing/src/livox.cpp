#include "testing/livox.h"

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

}  // namespace drone_test
