#include "livox_msgs/cdr_frame_reader.h"

#include <gtest/gtest.h>

#include <livox_ros_driver2/CustomMsg.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "testing/cdr_frames.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace {

using drone_test::cdr_frame;
using livox_msgs::CdrFrameReader;
using livox_ros_driver2::CustomMsg;
using livox_ros_driver2::CustomPoint;

uint32_t bits_of(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

float from_bits(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

CustomPoint point(uint32_t offset_time, float x, float y, float z, uint8_t r, uint8_t tag,
                  uint8_t line) {
  CustomPoint p;
  p.offset_time = offset_time;
  p.x = x;
  p.y = y;
  p.z = z;
  p.reflectivity = r;
  p.tag = tag;
  p.line = line;
  return p;
}

// Values a reader gets wrong when it converts instead of copying, or swaps the wrong bytes: NaNs
// with payloads, negative zero, a subnormal, infinities, every byte of timebase distinct.
CustomMsg awkward_frame(const std::string& frame_id) {
  CustomMsg msg;
  msg.header.stamp = ros::Time(1700000000, 123456789);
  msg.header.frame_id = frame_id;
  msg.timebase = 0x0102030405060708ULL;
  msg.point_num = 99;  // the driver's field, on purpose not the sequence length
  msg.lidar_id = 7;
  msg.rsvd = {{0xAB, 0x00, 0xFF}};
  msg.points = {
      point(0x01020304u, 1.5f, -2.25f, 0.125f, 0, 0, 0),
      point(1000, std::numeric_limits<float>::quiet_NaN(), from_bits(0x7f800001u),
            from_bits(0xffc0beefu), 255, 16, 5),
      point(0xFFFFFFFFu, -0.0f, from_bits(0x00000001u), std::numeric_limits<float>::infinity(), 128,
            255, 255),
  };
  return msg;
}

void expect_frame(const CdrFrameReader& reader, const CustomMsg& msg) {
  EXPECT_EQ(reader.header().sec, static_cast<int32_t>(msg.header.stamp.sec));
  EXPECT_EQ(reader.header().nanosec, msg.header.stamp.nsec);
  EXPECT_EQ(reader.header().frame_id, msg.header.frame_id);
  EXPECT_EQ(reader.timebase(), msg.timebase);
  EXPECT_EQ(reader.point_num(), msg.point_num);
  EXPECT_EQ(reader.lidar_id(), msg.lidar_id);
  EXPECT_EQ(reader.rsvd()[0], msg.rsvd[0]);
  EXPECT_EQ(reader.rsvd()[1], msg.rsvd[1]);
  EXPECT_EQ(reader.rsvd()[2], msg.rsvd[2]);
  ASSERT_EQ(reader.size(), msg.points.size());
  for (uint32_t i = 0; i < reader.size(); ++i) {
    SCOPED_TRACE(i);
    const CustomPoint& p = msg.points[i];
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

// The reason parse() gives for the bytes, or "parsed" when it accepts them.
std::string outcome(CdrFrameReader& reader, const std::vector<uint8_t>& bytes) {
  reader.assign(bytes.data(), bytes.size());
  try {
    reader.parse();
    return "parsed";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(reader.size(), 0u) << "a refused frame holds no points";
    return e.what();
  }
}

// Where the points sequence's count lies in the CDR bytes of a frame with this frame_id length:
// the stream starts at byte 4; the string's length word at 8 (stream 4 .. 8), its bytes and NUL
// after; timebase on the next multiple of 8 of the stream; then point_num, lidar_id, rsvd and
// the count, 4-byte aligned.
size_t count_offset(size_t frame_id_length) {
  const size_t string_end = 12 + frame_id_length + 1;  // stream position
  const size_t timebase = (string_end + 7) / 8 * 8;
  return 4 + timebase + 8 + 4 + 1 + 3;
}

// Every field read back bit for bit, in both byte orders, with frame_id lengths 0 to 8: the
// string's length moves timebase between two 8-byte slots, a reader aligning from the wrong
// origin or not at all reads the wrong bytes for some of them.
TEST(CdrFrameReader, EveryFieldInBothByteOrdersWhateverTheFrameIdLength) {
  CdrFrameReader reader;
  for (const bool big_endian : {false, true}) {
    for (size_t length = 0; length <= 8; ++length) {
      SCOPED_TRACE(std::to_string(length) + (big_endian ? " big-endian" : " little-endian"));
      const CustomMsg msg = awkward_frame(std::string(length, 'f'));
      const std::vector<uint8_t> bytes = cdr_frame(msg, big_endian);
      ASSERT_EQ(bytes.size(), (count_offset(length) + 4 + 2 * 20 + 19 + 3) / 4 * 4);
      EXPECT_EQ(outcome(reader, bytes), "parsed");
      EXPECT_EQ(reader.big_endian(), big_endian);
      expect_frame(reader, msg);
    }
  }
}

// The layout written out byte by byte from the CDR rules, not by the tests' writer: frame_id
// "abcdef" ends at stream byte 19, so timebase lies at stream byte 24 (message byte 28) after 5
// bytes of padding; option bytes 00 01 (the recorder's pad count) are accepted.
TEST(CdrFrameReader, HandWrittenLittleEndianFrame) {
  const std::vector<uint8_t> bytes = {
      0x00, 0x01, 0x00, 0x01,                               // encapsulation, pad count 1
      0x2a, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00,       // stamp 42 s 7 ns
      0x07, 0x00, 0x00, 0x00, 'a',  'b',  'c',  'd',  'e',  // frame_id "abcdef"
      'f',  0x00, 0xee, 0xee, 0xee, 0xee, 0xee,             // its NUL, padding to stream 24
      0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,       // timebase
      0x02, 0x00, 0x00, 0x00, 0x09, 0x01, 0x02, 0x03,       // point_num 2, lidar_id 9, rsvd
      0x02, 0x00, 0x00, 0x00,                               // two points
      0x0a, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3f, 0x00, 0x00, 0x00,
      0x40, 0x00, 0x00, 0x40, 0x40, 0x11, 0x22, 0x33, 0xee,  // point 0 (1, 2, 3) and its padding
      0x0b, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0xbf, 0x00, 0x00, 0x00,
      0xc0, 0x00, 0x00, 0x40, 0xc0, 0x44, 0x55, 0x66,  // point 1 (-1, -2, -3), unpadded
      0x00,                                            // the recorder's pad
  };
  CdrFrameReader reader;
  ASSERT_EQ(outcome(reader, bytes), "parsed");
  EXPECT_EQ(reader.header().sec, 42);
  EXPECT_EQ(reader.header().nanosec, 7u);
  EXPECT_EQ(reader.header().frame_id, "abcdef");
  EXPECT_EQ(reader.timebase(), 0x0102030405060708ULL);
  EXPECT_EQ(reader.point_num(), 2u);
  EXPECT_EQ(reader.lidar_id(), 9);
  EXPECT_EQ(reader.rsvd()[2], 3);
  ASSERT_EQ(reader.size(), 2u);
  EXPECT_EQ(reader.offset_time(1), 11u);
  EXPECT_EQ(reader.x(0), 1.0f);
  EXPECT_EQ(reader.z(0), 3.0f);
  EXPECT_EQ(reader.line(0), 0x33);
  EXPECT_EQ(reader.y(1), -2.0f);
  EXPECT_EQ(reader.reflectivity(1), 0x44);
  EXPECT_EQ(reader.line(1), 0x66);
}

TEST(CdrFrameReader, EmptyFrameHasNoPoints) {
  CustomMsg msg = awkward_frame("");
  msg.points.clear();
  CdrFrameReader reader;
  for (const bool big_endian : {false, true}) {
    EXPECT_EQ(outcome(reader, cdr_frame(msg, big_endian)), "parsed");
    expect_frame(reader, msg);
  }
}

// Encapsulations other than plain CDR are refused by name, never read as CDR; any option bytes
// are taken.
TEST(CdrFrameReader, EncapsulationKinds) {
  const std::vector<uint8_t> whole = cdr_frame(awkward_frame("livox_frame"));
  const std::string only =
      ", which is not read; only plain CDR (00 00 big-endian, 00 01 "
      "little-endian) is";
  const struct {
    uint8_t kind[4];
    std::string reason;
  } cases[] = {
      {{0x00, 0x01, 0xff, 0xff}, "parsed"},
      {{0x00, 0x02, 0x00, 0x00}, "its encapsulation 00 02 is a parameter list (PL_CDR_BE)" + only},
      {{0x00, 0x03, 0x00, 0x00}, "its encapsulation 00 03 is a parameter list (PL_CDR_LE)" + only},
      {{0x00, 0x06, 0x00, 0x00}, "its encapsulation 00 06 is XCDR2 (CDR2_BE)" + only},
      {{0x00, 0x07, 0x00, 0x00}, "its encapsulation 00 07 is XCDR2 (CDR2_LE)" + only},
      {{0x00, 0x09, 0x00, 0x00}, "its encapsulation 00 09 is XCDR2 (D_CDR2_LE)" + only},
      {{0x00, 0x0b, 0x00, 0x00}, "its encapsulation 00 0b is XCDR2 (PL_CDR2_LE)" + only},
      {{0x00, 0x11, 0x00, 0x00}, "its encapsulation 00 11 is XCDR2 (CDR2_LE)" + only},
      {{0x00, 0x0c, 0x00, 0x00}, "its encapsulation 00 0c is no known kind" + only},
      {{0x01, 0x00, 0x00, 0x00}, "its encapsulation 01 00 is no known kind" + only},
  };
  CdrFrameReader reader;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    std::vector<uint8_t> bytes = whole;
    std::memcpy(bytes.data(), c.kind, 4);
    EXPECT_EQ(outcome(reader, bytes), c.reason);
  }
}

// A frame cut at every byte is refused with what is missing and where: before the points, the
// field cut and its position; inside them, the points the bytes still hold whole.
TEST(CdrFrameReader, EveryShortenedFrameIsRefusedWithItsReason) {
  for (const bool big_endian : {false, true}) {
    const CustomMsg msg = awkward_frame("lidar");
    const std::vector<uint8_t> whole = cdr_frame(msg, big_endian);
    const size_t points_at = count_offset(msg.header.frame_id.size()) + 4;
    CdrFrameReader reader;
    for (size_t length = 0; length < points_at + 2 * 20 + 19; ++length) {
      SCOPED_TRACE(length);
      const std::string reason =
          outcome(reader, std::vector<uint8_t>(whole.begin(), whole.begin() + length));
      if (length == 0) {
        EXPECT_EQ(reason, "the message is empty");
      } else if (length < 4) {
        EXPECT_EQ(reason, "the message is cut short (its encapsulation header needs 4 bytes, " +
                              std::to_string(length) + " remain)");
      } else if (length < points_at) {
        EXPECT_EQ(reason.rfind("the message is cut short (its ", 0), 0u) << reason;
      } else {
        const size_t room = length - points_at < 19 ? 0 : (length - points_at - 19) / 20 + 1;
        EXPECT_EQ(reason, "it declares 3 points but carries data for " + std::to_string(room));
      }
    }
    EXPECT_EQ(outcome(reader, whole), "parsed");
  }
  // The field and position named, in each byte order.
  const std::vector<uint8_t> whole = cdr_frame(awkward_frame("lidar"), false);
  CdrFrameReader reader;
  EXPECT_EQ(outcome(reader, std::vector<uint8_t>(whole.begin(), whole.begin() + 30)),
            "the message is cut short (its timebase at byte 28 needs 8 bytes, 2 remain)");
  EXPECT_EQ(outcome(reader, std::vector<uint8_t>(whole.begin(), whole.begin() + 14)),
            "the message is cut short (its header.frame_id at byte 12 needs 4 bytes, 2 remain)");
  EXPECT_EQ(outcome(reader, std::vector<uint8_t>(whole.begin(), whole.begin() + 19)),
            "the message is cut short (its header.frame_id at byte 12 states 6 bytes, 3 remain)");
}

// A count or string length beyond the bytes is refused before anything is read from them; a
// frame_id without its NUL is damage, not a shorter string.
TEST(CdrFrameReader, LengthsBeyondTheBytesAreRefused) {
  const std::vector<uint8_t> whole = cdr_frame(awkward_frame("lidar"));
  const size_t count_at = count_offset(5);
  const std::string after_length = std::to_string(whole.size() - 16);
  const struct {
    size_t at;
    uint32_t value;
    std::string reason;
  } cases[] = {
      {count_at, 4, "it declares 4 points but carries data for 3"},
      {count_at, 0x7fffffffu, "it declares 2147483647 points but carries data for 3"},
      {count_at, 0xffffffffu, "it declares 4294967295 points but carries data for 3"},
      {count_at, 1, "parsed"},  // fewer points than carried: the sequence's length counts
      {12, 0xffffffffu,
       "the message is cut short (its header.frame_id at byte 12 states 4294967295 bytes, " +
           after_length + " remain)"},
      {12, 5, "its header.frame_id at byte 12 does not end in a NUL"},
  };
  CdrFrameReader reader;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    std::vector<uint8_t> bytes = whole;
    std::memcpy(bytes.data() + c.at, &c.value, sizeof c.value);
    EXPECT_EQ(outcome(reader, bytes), c.reason);
  }
}

// Frame k of testing/fixtures/cdr_frames, by the rule of testing/scripts/write_cdr_frames.js that
// wrote them.
CustomMsg reference_frame(uint32_t k) {
  CustomMsg msg;
  msg.header.stamp = ros::Time(1700000000 + k, k * 100000001u);
  msg.header.frame_id = std::string(k, 'f');
  msg.timebase = 1700000000000000000ULL + uint64_t{k} * 100000000u + 0x0102u;
  msg.point_num = k + 1000;
  msg.lidar_id = static_cast<uint8_t>(k + 1);
  msg.rsvd = {{static_cast<uint8_t>(k), static_cast<uint8_t>(0xff - k), 0x5a}};
  for (uint32_t i = 0; i < k; ++i) {
    msg.points.push_back(point(i * 1000 + k, static_cast<float>(i) * 0.25f - static_cast<float>(k),
                               static_cast<float>(k) * 0.5f + static_cast<float>(i),
                               -0.125f * static_cast<float>(i + 1),
                               static_cast<uint8_t>((i * 37 + k) % 256),
                               static_cast<uint8_t>(i % 4), static_cast<uint8_t>((i + k) % 6)));
  }
  return msg;
}

// Frames written by independent writers (@foxglove/rosmsg2-serialization little-endian,
// @foxglove/cdr big-endian, neither padded to 4) read back field by field.
TEST(CdrFrameReader, FramesOfIndependentWriters) {
  CdrFrameReader reader;
  for (uint32_t k = 0; k <= 9; ++k) {
    for (const char* order : {"le", "be"}) {
      const std::string name = "cdr_frames/frame" + std::to_string(k) + "_" + order + ".cdr";
      SCOPED_TRACE(name);
      const std::string bytes = drone_test::read_file(drone_test::fixture_path(name));
      ASSERT_EQ(outcome(reader, std::vector<uint8_t>(bytes.begin(), bytes.end())), "parsed");
      EXPECT_EQ(reader.big_endian(), std::string(order) == "be");
      expect_frame(reader, reference_frame(k));
    }
  }
}

// A reused reader holds only the last frame; parsing a big-endian frame twice swaps it once.
TEST(CdrFrameReader, ReusedReaderHoldsOnlyTheLastFrame) {
  const CustomMsg big = awkward_frame("livox_frame");
  CustomMsg small = awkward_frame("x");
  small.points.resize(1);
  CdrFrameReader reader;
  EXPECT_EQ(outcome(reader, cdr_frame(big, true)), "parsed");
  reader.parse();
  expect_frame(reader, big);
  EXPECT_EQ(outcome(reader, cdr_frame(small, false)), "parsed");
  expect_frame(reader, small);
  EXPECT_EQ(outcome(reader, {0, 1, 0}),
            "the message is cut short (its encapsulation header needs 4 bytes, 3 remain)");
  EXPECT_EQ(outcome(reader, cdr_frame(big, true)), "parsed");
  expect_frame(reader, big);
}

// Bytes parsed where they lie read as assigned ones, in both byte orders, and are never written
// (a big-endian frame is swapped in the reader's own buffer); the assigned buffer is not touched
// by them.
TEST(CdrFrameReader, BytesParsedWhereTheyLieReadAlikeAndStayAsTheyAre) {
  const CustomMsg assigned = awkward_frame("assigned");
  const CustomMsg in_place = awkward_frame("in place, longer");
  for (const bool big_endian : {false, true}) {
    SCOPED_TRACE(big_endian ? "big-endian" : "little-endian");
    CdrFrameReader reader;
    EXPECT_EQ(outcome(reader, cdr_frame(assigned, true)), "parsed");
    const std::vector<uint8_t> bytes = cdr_frame(in_place, big_endian);
    const std::vector<uint8_t> copy(bytes.begin(), bytes.end());  // to see the bytes unchanged
    for (int twice = 0; twice < 2; ++twice) {
      reader.parse(bytes.data(), bytes.size());
      expect_frame(reader, in_place);
      EXPECT_EQ(bytes, copy);
    }
    reader.assign(copy.data(), copy.size());  // the same bytes again, now as the buffer
    reader.parse();
    expect_frame(reader, in_place);
    const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + 30);
    EXPECT_THROW(reader.parse(cut.data(), cut.size()), std::runtime_error);
    EXPECT_EQ(reader.size(), 0u);
  }
}

}  // namespace
