#pragma once

// Checks shared by the tests of the two Livox frame readers (livox_msgs::FrameReader for ROS 1
// bytes, livox_msgs::CdrFrameReader for CDR): building awkward points, reading every field after
// the header back bit for bit, and the reason a reader gives for a frame. Templates over the
// reader, since both offer the same accessors and neither is a dependency of the other.

#include <gtest/gtest.h>

#include <livox_ros_driver2/CustomMsg.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace drone_test {

inline uint32_t bits_of(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

inline float from_bits(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

inline livox_ros_driver2::CustomPoint livox_point(uint32_t offset_time, float x, float y, float z,
                                                  uint8_t reflectivity, uint8_t tag, uint8_t line) {
  livox_ros_driver2::CustomPoint p;
  p.offset_time = offset_time;
  p.x = x;
  p.y = y;
  p.z = z;
  p.reflectivity = reflectivity;
  p.tag = tag;
  p.line = line;
  return p;
}

// Every field the reader gives after the header, against the message it was written from: the
// coordinates compared as bits, so a NaN's payload or a negative zero that a conversion loses
// fails, and each also through copy_xyz.
template <typename Reader>
void expect_fields_after_header(const Reader& reader, const livox_ros_driver2::CustomMsg& msg) {
  EXPECT_EQ(reader.timebase(), msg.timebase);
  EXPECT_EQ(reader.point_num(), msg.point_num);
  EXPECT_EQ(reader.lidar_id(), msg.lidar_id);
  EXPECT_EQ(reader.rsvd()[0], msg.rsvd[0]);
  EXPECT_EQ(reader.rsvd()[1], msg.rsvd[1]);
  EXPECT_EQ(reader.rsvd()[2], msg.rsvd[2]);
  ASSERT_EQ(reader.size(), msg.points.size());
  for (uint32_t i = 0; i < reader.size(); ++i) {
    SCOPED_TRACE(i);
    const livox_ros_driver2::CustomPoint& p = msg.points[i];
    EXPECT_EQ(reader.offset_time(i), p.offset_time);
    EXPECT_EQ(bits_of(reader.x(i)), bits_of(p.x));
    EXPECT_EQ(bits_of(reader.y(i)), bits_of(p.y));
    EXPECT_EQ(bits_of(reader.z(i)), bits_of(p.z));
    uint32_t xyz[3];
    reader.copy_xyz(i, xyz);
    EXPECT_EQ(xyz[0], bits_of(p.x));
    EXPECT_EQ(xyz[1], bits_of(p.y));
    EXPECT_EQ(xyz[2], bits_of(p.z));
    EXPECT_EQ(reader.reflectivity(i), p.reflectivity);
    EXPECT_EQ(reader.tag(i), p.tag);
    EXPECT_EQ(reader.line(i), p.line);
  }
}

// The reason the reader's parse() gives for `bytes` after assign(), or "parsed" when it accepts
// them; a refused frame must hold no points.
template <typename Reader>
std::string parse_outcome(Reader& reader, const std::vector<uint8_t>& bytes) {
  reader.assign(bytes.data(), bytes.size());
  try {
    reader.parse();
    return "parsed";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(reader.size(), 0u) << "a refused frame holds no points";
    return e.what();
  }
}

}  // namespace drone_test
