#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace livox_msgs {

// std_msgs/msg/Header as ROS 2 stores it: a stamp and a frame id, no seq.
struct CdrHeader {
  int32_t sec = 0;       // stamp.sec, seconds since the epoch
  uint32_t nanosec = 0;  // stamp.nanosec, below 1e9 when the driver set it
  std::string frame_id;  // without its terminating NUL; empty when none was recorded

  // The stamp in seconds, sec + 1e-9 * nanosec, as ROS 1's ros::Time::toSec converts it.
  double seconds() const { return static_cast<double>(sec) + 1e-9 * static_cast<double>(nanosec); }
};

// Reads ROS 2 Livox frames (livox_ros_driver2/msg/CustomMsg, and livox_ros_driver/msg/CustomMsg
// of the same layout) from their CDR bytes, one frame at a time, with the accessors of
// FrameReader, the ROS 1 reader. The CDR stream is: a 4-byte encapsulation header (00 01
// little-endian, 00 00 big-endian, then two option bytes the recorder uses for its padding
// count), then the fields, each aligned to its own size counted from the byte after that header;
// so where timebase lies depends on the length of frame_id. The points are a uint32 count and
// 19-byte records at a 4-byte stride: 20 bytes apart, the last one unpadded.
//
// The points are read in place from one buffer that is reused, so a pass over a recording
// allocates nothing per point. A big-endian frame is swapped to little-endian once, in that
// buffer, when it is parsed, so the accessors and copy_xyz read every frame alike. Every length
// and count is checked against the bytes that hold it before anything is read from them: a
// damaged count fails the frame instead of claiming memory. Other encapsulations (XCDR2,
// parameter lists) are refused, never guessed at.
//
// Use: assign() the bytes and parse() them, or parse(data, size) them where they lie, then read
// the fields and points; they stay valid until the next assign or parse (and, for bytes parsed
// where they lie, while those bytes do).
class CdrFrameReader {
 public:
  // Bytes of one point's fields: offset_time u32, x y z f32, reflectivity u8, tag u8, line u8.
  static constexpr uint32_t kPointSize = 19;
  // Distance between two points in the sequence: each starts on a 4-byte boundary.
  static constexpr uint32_t kPointStride = 20;

  // Copies `size` serialised bytes from `data` into the buffer (`data` may be null when `size`
  // is 0).
  void assign(const uint8_t* data, size_t size);

  // Parses the buffer: encapsulation, header, the fixed fields and the length of the points
  // sequence. Throws std::runtime_error when the bytes do not hold a whole frame in plain CDR;
  // its text gives the reason alone, with byte positions counted from the start of the message
  // ("the message is empty", "the message is cut short (...)", "its encapsulation 00 07 is
  // XCDR2 ...", "it declares N points but carries data for M"), for the caller to say which
  // frame it was. After a failure the frame holds no points.
  void parse();

  // Parses `size` bytes at `data` as parse() does, without assign(): a little-endian frame is
  // read in place (the bytes must stay as they are while the frame is read, and are never
  // written), a big-endian one is copied into the buffer and swapped there.
  void parse(const uint8_t* data, size_t size);

  // True when the frame was stored big-endian (and has been swapped).
  bool big_endian() const { return big_endian_; }

  // The frame's header, as recorded.
  const CdrHeader& header() const { return header_; }
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

 private:
  // parse() over `size` bytes at `data`, which are bytes_ itself when `own`.
  void parse_bytes(const uint8_t* data, size_t size, bool own);
  const uint8_t* record(uint32_t i) const {
    return points_ + static_cast<size_t>(i) * kPointStride;
  }
  template <typename T>
  T field(uint32_t i, size_t offset) const {
    T value;
    std::memcpy(&value, record(i) + offset, sizeof value);
    return value;
  }

  std::vector<uint8_t> bytes_;  // the serialised frame; its points little-endian once parsed
  bool swapped_ = false;        // the points of bytes_ have been swapped already
  bool big_endian_ = false;
  CdrHeader header_;
  uint64_t timebase_ = 0;
  uint32_t point_num_ = 0;
  uint8_t lidar_id_ = 0;
  std::array<uint8_t, 3> rsvd_{};
  uint32_t count_ = 0;               // length of the points sequence; 0 until parsed
  const uint8_t* points_ = nullptr;  // the first point record: in bytes_ or the parsed bytes
};

}  // namespace livox_msgs
