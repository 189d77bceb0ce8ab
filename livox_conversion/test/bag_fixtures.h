#pragma once

// Bag writing and reading helpers for the conversion tests.

#include <ros/serialization.h>
#include <ros/time.h>

#include <livox_ros_driver2/CustomMsg.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace cloudconv_test {

// A message given as its serialised bytes and its connection's type fields, so that tests can
// store any type (a foreign type, a damaged Livox frame) without its generated class.
struct RawMessage {
  std::string datatype;
  std::string md5sum;
  std::string definition;
  std::vector<uint8_t> bytes;
};

// One message as read back from a bag: where and when it was stored, its connection, its bytes.
struct StoredMessage {
  std::string topic;
  ros::Time time;
  std::map<std::string, std::string> connection;  // the connection header, topic included
  std::vector<uint8_t> bytes;

  bool operator<(const StoredMessage& o) const;
  bool operator==(const StoredMessage& o) const;
};

// Every message of a bag in the bag library's record-time order.
std::vector<StoredMessage> read_all(const std::string& path);

// One entry per connection: topic and header.
std::vector<std::map<std::string, std::string>> connections_of(const std::string& path);

// The wire bytes of a generated message.
template <class M>
std::vector<uint8_t> serialize(const M& msg) {
  const uint32_t size = ros::serialization::serializationLength(msg);
  std::vector<uint8_t> bytes(size);
  ros::serialization::OStream out(bytes.data(), size);
  ros::serialization::serialize(out, msg);
  return bytes;
}

// The generated message's type fields with the given bytes.
template <class M>
RawMessage raw_of(const M& msg) {
  return RawMessage{ros::message_traits::datatype(msg), ros::message_traits::md5sum(msg),
                    ros::message_traits::definition(msg), serialize(msg)};
}

// The cloud data the conversion must produce for a frame, built field by field: x, y, z bit for
// bit, then the reflectivity as a float, 16 bytes per point.
std::vector<uint8_t> expected_cloud_data(const livox_ros_driver2::CustomMsg& frame);

// Points with fixed-seed coordinates and reflectivities.
livox_ros_driver2::CustomMsg random_frame(uint32_t seq, const ros::Time& stamp, size_t points,
                                          uint32_t seed);

// A small recording: frames of 3 and 5 points on /livox/lidar and one std_msgs/String on
// /status. Converting it gives 3 messages, 2 converted, 1 copied, 8 points.
void write_small_recording(const std::string& path);

}  // namespace cloudconv_test

namespace ros {
namespace message_traits {

template <>
struct MD5Sum<cloudconv_test::RawMessage> {
  static const char* value(const cloudconv_test::RawMessage& m) { return m.md5sum.c_str(); }
};
template <>
struct DataType<cloudconv_test::RawMessage> {
  static const char* value(const cloudconv_test::RawMessage& m) { return m.datatype.c_str(); }
};
template <>
struct Definition<cloudconv_test::RawMessage> {
  static const char* value(const cloudconv_test::RawMessage& m) { return m.definition.c_str(); }
};

}  // namespace message_traits

namespace serialization {

template <>
struct Serializer<cloudconv_test::RawMessage> {
  template <typename Stream>
  inline static void write(Stream& stream, const cloudconv_test::RawMessage& m) {
    if (!m.bytes.empty()) {
      std::memcpy(stream.advance(static_cast<uint32_t>(m.bytes.size())), m.bytes.data(),
                  m.bytes.size());
    }
  }
  inline static uint32_t serializedLength(const cloudconv_test::RawMessage& m) {
    return static_cast<uint32_t>(m.bytes.size());
  }
};

}  // namespace serialization
}  // namespace ros
