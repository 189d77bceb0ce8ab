#include "bag_builder.h"

#include <ros/serialization.h>
#include <std_msgs/String.h>

#include <boost/make_shared.hpp>

#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "testing/temp_dir.h"

namespace ros {
namespace message_traits {

// The recorded identity of a RawMessage is whatever the message says.
template <>
struct MD5Sum<scancheck_test::RawMessage> {
  static const char* value() { return "*"; }
  static const char* value(const scancheck_test::RawMessage& m) { return m.md5.c_str(); }
};
template <>
struct DataType<scancheck_test::RawMessage> {
  static const char* value() { return "scancheck_test/RawMessage"; }
  static const char* value(const scancheck_test::RawMessage& m) { return m.datatype.c_str(); }
};
template <>
struct Definition<scancheck_test::RawMessage> {
  static const char* value() { return ""; }
  static const char* value(const scancheck_test::RawMessage&) {
    return Definition<livox_ros_driver2::CustomMsg>::value();
  }
};

}  // namespace message_traits

namespace serialization {

// A RawMessage serialises to exactly its bytes.
template <>
struct Serializer<scancheck_test::RawMessage> {
  template <typename Stream>
  static void write(Stream& stream, const scancheck_test::RawMessage& m) {
    if (!m.bytes.empty()) {
      std::memcpy(stream.advance(static_cast<uint32_t>(m.bytes.size())), m.bytes.data(),
                  m.bytes.size());
    }
  }
  static uint32_t serializedLength(const scancheck_test::RawMessage& m) {
    return static_cast<uint32_t>(m.bytes.size());
  }
};

}  // namespace serialization
}  // namespace ros

namespace scancheck_test {

RawMessage livox_raw(std::vector<uint8_t> bytes) {
  return RawMessage{ros::message_traits::MD5Sum<livox_ros_driver2::CustomMsg>::value(),
                    ros::message_traits::DataType<livox_ros_driver2::CustomMsg>::value(),
                    std::move(bytes)};
}

std::vector<uint8_t> serialize_frame(const livox_ros_driver2::CustomMsg& frame) {
  std::vector<uint8_t> bytes(ros::serialization::serializationLength(frame));
  ros::serialization::OStream out(bytes.data(), static_cast<uint32_t>(bytes.size()));
  ros::serialization::serialize(out, frame);
  return bytes;
}

BagBuilder::BagBuilder(const std::string& path, rosbag::compression::CompressionType compression,
                       uint32_t chunk_threshold) {
  bag_.open(path, rosbag::bagmode::Write);
  bag_.setCompression(compression);
  bag_.setChunkThreshold(chunk_threshold);
}

BagBuilder::~BagBuilder() { close(); }

void BagBuilder::close() {
  if (bag_.isOpen()) bag_.close();
}

ros::Time BagBuilder::next_record_time() {
  const int64_t ms = 1000 + messages_++;
  return ros::Time(static_cast<uint32_t>(ms / 1000), static_cast<uint32_t>(ms % 1000) * 1000000u);
}

template <class M>
void BagBuilder::put(const std::string& topic, const M& message) {
  auto header = boost::make_shared<ros::M_string>();
  (*header)["type"] = ros::message_traits::datatype(message);
  (*header)["md5sum"] = ros::message_traits::md5sum(message);
  (*header)["message_definition"] = ros::message_traits::definition(message);
  (*header)["callerid"] = "/scancheck_test";
  (*header)["topic"] = topic;
  bag_.write(topic, next_record_time(), message, header);
}

BagBuilder& BagBuilder::frame(const ros::Time& stamp,
                              const std::vector<drone_test::XyzPoint>& points,
                              const std::string& topic) {
  put(topic, drone_test::make_livox_frame(++seq_, stamp, points));
  return *this;
}

BagBuilder& BagBuilder::text(const std::string& data, const std::string& topic) {
  std_msgs::String msg;
  msg.data = data;
  put(topic, msg);
  return *this;
}

BagBuilder& BagBuilder::raw(const RawMessage& message, const std::string& topic) {
  put(topic, message);
  return *this;
}

std::vector<drone_test::XyzPoint> level_points(int n) {
  std::vector<drone_test::XyzPoint> points;
  for (int i = 0; i < n; ++i) points.push_back({static_cast<float>(i + 1), 0.0f, 0.0f});
  return points;
}

drone_test::XyzPoint point_at_elevation(double degrees) {
  const double rad = degrees * M_PI / 180.0;
  return {static_cast<float>(10.0 * std::cos(rad)), 0.0f, static_cast<float>(10.0 * std::sin(rad))};
}

double reference_elevation(float x, float y, float z) {
  const float h = std::sqrt(x * x + y * y);
  return (180.0 * std::atan2(static_cast<double>(z), static_cast<double>(h))) / 3.141592653589793;
}

void write_truncated_copy(const std::string& from, const std::string& to, size_t size) {
  const std::string bytes = drone_test::read_file(from);
  if (size > bytes.size()) throw std::runtime_error("truncation beyond the end of " + from);
  drone_test::write_file(to, bytes.substr(0, size));
}

}  // namespace scancheck_test
