#include <gtest/gtest.h>
#include <ros/serialization.h>

#include <livox_ros_driver2/CustomMsg.h>

#include <cstdint>
#include <vector>

namespace {

using livox_ros_driver2::CustomMsg;
using livox_ros_driver2::CustomPoint;

TEST(LivoxMsgs, TypeIdentityMatchesTheDriver) {
  EXPECT_STREQ(ros::message_traits::MD5Sum<CustomMsg>::value(), "e4d6829bdfe657cb6c21a746c86b21a6");
  EXPECT_STREQ(ros::message_traits::DataType<CustomMsg>::value(), "livox_ros_driver2/CustomMsg");
  EXPECT_STREQ(ros::message_traits::DataType<CustomPoint>::value(),
               "livox_ros_driver2/CustomPoint");
}

TEST(LivoxMsgs, WireLayoutRoundTrips) {
  CustomMsg msg;
  msg.header.seq = 7;
  msg.header.stamp = ros::Time(12, 345);
  msg.header.frame_id = "livox";
  msg.timebase = 0x0102030405060708ULL;
  msg.point_num = 1;
  msg.lidar_id = 3;
  msg.rsvd = {{1, 2, 3}};
  CustomPoint p;
  p.offset_time = 99;
  p.x = 1.5f;
  p.y = -2.0f;
  p.z = 0.25f;
  p.reflectivity = 255;
  p.tag = 16;
  p.line = 5;
  msg.points.push_back(p);

  const uint32_t size = ros::serialization::serializationLength(msg);
  // header (4 + 8 + 4 + 5) + timebase 8 + point_num 4 + lidar_id 1 + rsvd 3 + count 4 + point 19
  EXPECT_EQ(size, 21u + 8u + 4u + 1u + 3u + 4u + 19u);
  std::vector<uint8_t> buf(size);
  ros::serialization::OStream out(buf.data(), size);
  ros::serialization::serialize(out, msg);

  CustomMsg back;
  ros::serialization::IStream in(buf.data(), size);
  ros::serialization::deserialize(in, back);
  EXPECT_EQ(back.header.seq, 7u);
  EXPECT_EQ(back.header.stamp, ros::Time(12, 345));
  EXPECT_EQ(back.timebase, msg.timebase);
  ASSERT_EQ(back.points.size(), 1u);
  EXPECT_EQ(back.points[0].offset_time, 99u);
  EXPECT_EQ(back.points[0].y, -2.0f);
  EXPECT_EQ(back.points[0].reflectivity, 255);
  EXPECT_EQ(back.points[0].line, 5);
}

}  // namespace
