#pragma once

#include <ros/time.h>
#include <rosbag/bag.h>

#include <livox_ros_driver2/CustomMsg.h>

#include <cstdint>
#include <string>
#include <vector>

#include "testing/livox.h"

namespace scancheck_test {

inline const char kTopic[] = "/livox/lidar";

// A message whose recorded type (MD5 sum and type name) and serialised bytes are set by hand,
// for messages that a well-behaved writer would never produce.
struct RawMessage {
  std::string md5;
  std::string datatype;
  std::vector<uint8_t> bytes;
};

// The recorded identity of a Livox frame.
RawMessage livox_raw(std::vector<uint8_t> bytes);

// The serialised form of a frame.
std::vector<uint8_t> serialize_frame(const livox_ros_driver2::CustomMsg& frame);

// Writes a new bag message by message. Record times start at 1 s and advance 1 ms per message,
// so the bag's record order is the order of the calls, whatever the header stamps say. Each
// message type gets a connection of its own, as a recorder does for several publishers on one
// topic (without one, the bag library would file every message of a topic under the first
// message's type).
class BagBuilder {
 public:
  explicit BagBuilder(
      const std::string& path,
      rosbag::compression::CompressionType compression = rosbag::compression::Uncompressed,
      uint32_t chunk_threshold = 768 * 1024);
  ~BagBuilder();
  BagBuilder(const BagBuilder&) = delete;
  BagBuilder& operator=(const BagBuilder&) = delete;

  // A Livox frame built by drone_test::make_livox_frame.
  BagBuilder& frame(const ros::Time& stamp, const std::vector<drone_test::XyzPoint>& points,
                    const std::string& topic = kTopic);
  // A std_msgs/String message.
  BagBuilder& text(const std::string& data, const std::string& topic = kTopic);
  BagBuilder& raw(const RawMessage& message, const std::string& topic = kTopic);
  // Writes the index; the destructor does it too.
  void close();

 private:
  ros::Time next_record_time();
  template <class M>
  void put(const std::string& topic, const M& message);

  rosbag::Bag bag_;
  uint32_t seq_ = 0;
  int64_t messages_ = 0;
};

// `n` points at elevation 0, 1 m to n m ahead of the sensor.
std::vector<drone_test::XyzPoint> level_points(int n);

// A point at `degrees` of elevation, 10 m from the sensor. Its exact elevation as the validator
// computes it may differ from `degrees` in the last digits.
drone_test::XyzPoint point_at_elevation(double degrees);

// The elevation of a point in degrees, by the validator's rule: horizontal distance in single
// precision, arc tangent in double precision, degrees as (180 * angle) / pi.
double reference_elevation(float x, float y, float z);

// Truncates a copy of `from` to `size` bytes at `to`.
void write_truncated_copy(const std::string& from, const std::string& to, size_t size);

}  // namespace scancheck_test
