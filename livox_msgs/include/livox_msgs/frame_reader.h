#pragma once

#include <std_msgs/Header.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace livox_msgs {

// Reads serialised Livox frames (livox_ros_driver2/CustomMsg) straight from their stored bytes,
// one frame at a time. The points are read from their packed records in place, so a pass over a
// recording allocates nothing per point: assigned bytes go into one buffer that is reused. The
// length of the points array is checked against the bytes that follow it before anything is read
// from them, so a damaged count fails the frame instead of claiming gigabytes of memory.
//
// Use: assign() the bytes, parse() them, then read the fields and points; they stay valid until
// the next assign or parse.
class FrameReader {
 public:
  // Bytes of one serialised livox_ros_driver2/CustomPoint: offset_time u32, x y z f32,
  // reflectivity u8, tag u8, line u8, packed without padding.
  static constexpr uint32_t kPointSize = 19;

  // Copies `size` serialised bytes from `data` into the buffer (`data` may be null when `size`
  // is 0).
  void assign(const uint8_t* data, size_t size);

  // Parses the buffer: the header, the fixed fields and the length of the points array. Throws
  // std::runtime_error when the bytes do not hold a whole frame; its text gives the reason
  // alone ("the message is empty", "the message is cut short (...)", "it declares N points but
  // carries data for M"), for the caller to say which frame it
  // was. After a failure the frame holds no points.
  void parse();

  // The frame's header, as recorded.
  const std_msgs::Header& header() const { return header_; }
  // The time of the frame's first point, nanoseconds.
  uint64_t timebase() const { return timebase_; }
  // The point count that the driver wrote into the frame; not checked against the points.
  uint32_t point_num() const { return point_num_; }
  // The lidar's device id.
  uint8_t lidar_id() const { return lidar_id_; }
  // The reserved bytes.
  const std::array<uint8_t, 3>& rsvd() const { return rsvd_; }

  // Length of the points array, checked against the bytes; 0 for an empty frame.
  uint32_t size() const { return count_; }

  // Fields of point i; i must be below size(). The coordinates are the recorded floats bit for
  // bit (NaN included).
  uint32_t offset_time(uint32_t i) const { return field<uint32_t>(i, 0); }
  float x(uint32_t i) const { return field<float>(i, 4); }
  float y(uint32_t i) const { return field<float>(i, 8); }
  float z(uint32_t i) const { return field<float>(i, 12); }
  uint8_t reflectivity(uint32_t i) const { return record(i)[16]; }
  uint8_t tag(uint32_t i) const { return record(i)[17]; }
  uint8_t line(uint32_t i) const { return record(i)[18]; }

  // Copies the 12 bytes of point i's x, y and z (three little-endian floats, in that order) to
  // `out`, bit for bit; i must be below size().
  void copy_xyz(uint32_t i, void* out) const { std::memcpy(out, record(i) + 4, 12); }

 private:
  const uint8_t* record(uint32_t i) const { return points_ + static_cast<size_t>(i) * kPointSize; }
  template <typename T>
  T field(uint32_t i, size_t offset) const {
    T value;
    std::memcpy(&value, record(i) + offset, sizeof value);
    return value;
  }

  std::vector<uint8_t> bytes_;  // the serialised frame
  std_msgs::Header header_;
  uint64_t timebase_ = 0;
  uint32_t point_num_ = 0;
  uint8_t lidar_id_ = 0;
  std::array<uint8_t, 3> rsvd_{};
  uint32_t count_ = 0;               // length of the points array; 0 until parsed
  const uint8_t* points_ = nullptr;  // the first packed point record, inside bytes_
};

}  // namespace livox_msgs
