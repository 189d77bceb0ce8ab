#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace livox_msgs {

// The fields of a Livox frame after its header, and its points read in place from their
// records: what the ROS 1 reader (FrameReader) and the ROS 2 reader (CdrFrameReader) have in
// common. They differ in the header and in `Stride`, the distance between two point records
// (19 bytes packed in a ROS 1 frame, 20 in CDR). The accessors are inline memcpy reads from the
// records, so a pass over a frame allocates nothing and costs what it did in either reader.
template <uint32_t Stride>
class FramePoints {
 public:
  // Bytes of one point's fields: offset_time u32, x y z f32, reflectivity u8, tag u8, line u8.
  static constexpr uint32_t kPointSize = 19;

  // The time of the frame's first point, nanoseconds.
  uint64_t timebase() const { return timebase_; }
  // The point count that the driver wrote into the frame; not checked against the points.
  uint32_t point_num() const { return point_num_; }
  // The lidar's device id.
  uint8_t lidar_id() const { return lidar_id_; }
  // The reserved bytes.
  const std::array<uint8_t, 3>& rsvd() const { return rsvd_; }

  // Length of the points sequence, checked against the bytes; 0 for an empty frame.
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

 protected:
  uint64_t timebase_ = 0;
  uint32_t point_num_ = 0;
  uint8_t lidar_id_ = 0;
  std::array<uint8_t, 3> rsvd_{};
  uint32_t count_ = 0;               // length of the points sequence; 0 until parsed
  const uint8_t* points_ = nullptr;  // the first point record; null until parsed

 private:
  const uint8_t* record(uint32_t i) const { return points_ + static_cast<size_t>(i) * Stride; }
  template <typename T>
  T field(uint32_t i, size_t offset) const {
    T value;
    std::memcpy(&value, record(i) + offset, sizeof value);
    return value;
  }
};

}  // namespace livox_msgs
