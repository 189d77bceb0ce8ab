#include "livox_msgs/frame_reader.h"

#include <gtest/gtest.h>
#include <ros/serialization.h>

#include <livox_ros_driver2/CustomMsg.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "testing/bags.h"
#include "testing/livox_frame_checks.h"

namespace {

using drone_test::expect_fields_after_header;
using drone_test::from_bits;
using drone_test::livox_point;
using drone_test::parse_outcome;
using drone_test::serialize;
using livox_msgs::FrameReader;
using livox_ros_driver2::CustomMsg;
using livox_ros_driver2::CustomPoint;

// A frame whose points cover the values a reader gets wrong when it converts instead of copying:
// NaNs with payloads (a signalling one among them), negative zero, a subnormal, infinities, the
// largest reflectivity. point_num disagrees with the array on purpose: it is the driver's field.
CustomMsg awkward_frame() {
  CustomMsg msg;
  msg.header.seq = 4242;
  msg.header.stamp = ros::Time(1700000000, 123456789);
  msg.header.frame_id = "livox_frame";
  msg.timebase = 0x0102030405060708ULL;
  msg.point_num = 99;
  msg.lidar_id = 7;
  msg.rsvd = {{0xAB, 0x00, 0xFF}};
  msg.points = {
      livox_point(0, 1.5f, -2.25f, 0.125f, 0, 0, 0),
      livox_point(1000, std::numeric_limits<float>::quiet_NaN(), 3.0f, 4.0f, 255, 16, 5),
      livox_point(2000, 5.0f, from_bits(0x7f800001u), from_bits(0xffc0beefu), 128, 1, 2),
      livox_point(0xFFFFFFFFu, -0.0f, from_bits(0x00000001u),
                  std::numeric_limits<float>::infinity(), 255, 255, 255),
      livox_point(7, -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::max(),
                  -std::numeric_limits<float>::min(), 1, 2, 3),
  };
  return msg;
}

// Every field the reader gives, against the message it was serialised from.
void expect_frame(const FrameReader& reader, const CustomMsg& msg) {
  EXPECT_EQ(reader.header().seq, msg.header.seq);
  EXPECT_EQ(reader.header().stamp, msg.header.stamp);
  EXPECT_EQ(reader.header().frame_id, msg.header.frame_id);
  expect_fields_after_header(reader, msg);
}

// The reason parse() gives for the bytes, or "parsed" when it accepts them.
std::string outcome(FrameReader& reader, const std::vector<uint8_t>& bytes) {
  return parse_outcome(reader, bytes);
}

TEST(FrameReader, PointRecordSizeMatchesTheMessageType) {
  EXPECT_EQ(FrameReader::kPointSize, ros::serialization::serializationLength(CustomPoint()));
}

TEST(FrameReader, RoundTripsEveryFieldBitForBit) {
  const CustomMsg msg = awkward_frame();
  const std::vector<uint8_t> bytes = serialize(msg);
  FrameReader reader;
  reader.assign(bytes.data(), bytes.size());
  reader.parse();
  expect_frame(reader, msg);
  // The serialiser's own reading of the same bytes agrees point by point.
  CustomMsg back;
  ros::serialization::IStream in(const_cast<uint8_t*>(bytes.data()),
                                 static_cast<uint32_t>(bytes.size()));
  ros::serialization::deserialize(in, back);
  expect_frame(reader, back);
}

TEST(FrameReader, EmptyFrameHasNoPoints) {
  CustomMsg msg = awkward_frame();
  msg.points.clear();
  msg.header.frame_id.clear();
  FrameReader reader;
  EXPECT_EQ(outcome(reader, serialize(msg)), "parsed");
  expect_frame(reader, msg);
  EXPECT_EQ(reader.size(), 0u);
}

TEST(FrameReader, EveryShortenedFrameIsRefusedWithItsReason) {
  const CustomMsg msg = awkward_frame();
  const std::vector<uint8_t> whole = serialize(msg);
  const size_t points_at = whole.size() - msg.points.size() * FrameReader::kPointSize;
  FrameReader reader;
  for (size_t length = 0; length < whole.size(); ++length) {
    SCOPED_TRACE(length);
    const std::vector<uint8_t> cut(whole.begin(), whole.begin() + length);
    std::string expected;
    if (length == 0) {
      expected = "the message is empty";
    } else if (length < points_at) {
      expected = "the message is cut short (Buffer Overrun)";
    } else {
      expected = "it declares 5 points but carries data for " +
                 std::to_string((length - points_at) / FrameReader::kPointSize);
    }
    EXPECT_EQ(outcome(reader, cut), expected);
  }
  EXPECT_EQ(outcome(reader, whole), "parsed");
}

TEST(FrameReader, CountBeyondTheBytesIsRefusedBeforeReadingThem) {
  const CustomMsg msg = awkward_frame();
  const std::vector<uint8_t> whole = serialize(msg);
  const size_t count_at = whole.size() - msg.points.size() * FrameReader::kPointSize - 4;
  const struct {
    uint32_t count;
    const char* reason;
  } cases[] = {
      {6, "it declares 6 points but carries data for 5"},
      {0x7fffffffu, "it declares 2147483647 points but carries data for 5"},
      {0xffffffffu, "it declares 4294967295 points but carries data for 5"},
      {5, "parsed"},
      {2, "parsed"},  // fewer points than carried: the array's length counts
  };
  FrameReader reader;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    std::vector<uint8_t> bytes = whole;
    std::memcpy(bytes.data() + count_at, &c.count, sizeof c.count);
    EXPECT_EQ(outcome(reader, bytes), c.reason);
    if (std::string(c.reason) == "parsed") {
      EXPECT_EQ(reader.size(), c.count);
    }
  }
}

TEST(FrameReader, ReusedReaderHoldsOnlyTheLastFrame) {
  const CustomMsg big = awkward_frame();
  CustomMsg small;
  small.header.seq = 1;
  small.header.frame_id = "x";
  small.points = {livox_point(3, 9.0f, 8.0f, 7.0f, 6, 5, 4)};
  FrameReader reader;
  EXPECT_EQ(outcome(reader, serialize(big)), "parsed");
  EXPECT_EQ(outcome(reader, serialize(small)), "parsed");
  expect_frame(reader, small);
  EXPECT_EQ(outcome(reader, {1, 2, 3}), "the message is cut short (Buffer Overrun)");
  EXPECT_EQ(outcome(reader, serialize(big)), "parsed");
  expect_frame(reader, big);
}

}  // namespace
