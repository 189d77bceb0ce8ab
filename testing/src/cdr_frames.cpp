#include "testing/cdr_frames.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace drone_test {
namespace {

// Appends numbers to a CDR stream, aligned to their size from the stream's start (byte 4).
class CdrOut {
 public:
  explicit CdrOut(bool big_endian)
      : big_(big_endian), bytes_{0, big_endian ? uint8_t{0} : uint8_t{1}, 0, 0} {}

  void number(uint64_t value, size_t size) {
    while ((bytes_.size() - 4) % size != 0) bytes_.push_back(0);
    for (size_t i = 0; i < size; ++i) {
      const size_t shift = 8 * (big_ ? size - 1 - i : i);
      bytes_.push_back(static_cast<uint8_t>(value >> shift));
    }
  }
  void f32(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    number(bits, 4);
  }
  void string(const std::string& s) {
    number(s.size() + 1, 4);
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    bytes_.push_back(0);
  }

  std::vector<uint8_t> finish() {
    const auto pad = static_cast<uint8_t>((4 - bytes_.size() % 4) % 4);
    bytes_.insert(bytes_.end(), pad, 0);
    bytes_[3] = pad;
    return bytes_;
  }

 private:
  bool big_;
  std::vector<uint8_t> bytes_;
};

}  // namespace

std::vector<uint8_t> cdr_frame(const livox_ros_driver2::CustomMsg& frame, bool big_endian) {
  CdrOut out(big_endian);
  out.number(frame.header.stamp.sec, 4);
  out.number(frame.header.stamp.nsec, 4);
  out.string(frame.header.frame_id);
  out.number(frame.timebase, 8);
  out.number(frame.point_num, 4);
  out.number(frame.lidar_id, 1);
  for (uint8_t b : frame.rsvd) out.number(b, 1);
  out.number(frame.points.size(), 4);
  for (const livox_ros_driver2::CustomPoint& p : frame.points) {
    out.number(p.offset_time, 4);
    out.f32(p.x);
    out.f32(p.y);
    out.f32(p.z);
    out.number(p.reflectivity, 1);
    out.number(p.tag, 1);
    out.number(p.line, 1);
  }
  return out.finish();
}

std::string livox_frame_definition() {
  const std::string rule(80, '=');
  return "std_msgs/Header header\n"
         "uint64 timebase\n"
         "uint32 point_num\n"
         "uint8 lidar_id\n"
         "uint8[3] rsvd\n"
         "CustomPoint[] points\n" +
         rule +
         "\nMSG: std_msgs/Header\n"
         "# When and in which frame the data was taken.\n"
         "builtin_interfaces/Time stamp\n"
         "string frame_id\n" +
         rule +
         "\nMSG: builtin_interfaces/Time\n"
         "int32 sec\n"
         "uint32 nanosec\n" +
         rule +
         "\nMSG: livox_ros_driver2/CustomPoint\n"
         "uint32 offset_time      # offset time relative to the frame's timebase, nanoseconds\n"
         "float32 x               # X axis, metres\n"
         "float32 y               # Y axis, metres\n"
         "float32 z               # Z axis, metres\n"
         "uint8 reflectivity      # reflectivity, 0 to 255\n"
         "uint8 tag               # Livox tag\n"
         "uint8 line              # laser number in the lidar\n";
}

}  // namespace drone_test
