#pragma once

// Writing test bags, messages of any type or damage included, and reading them back.

#include <ros/message_traits.h>
#include <ros/serialization.h>
#include <ros/time.h>
#include <rosbag/bag.h>

#include <livox_ros_driver2/CustomMsg.h>

#include <boost/make_shared.hpp>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "testing/livox.h"

namespace drone_test {

// A message given as its serialised bytes and its connection's type fields, so that tests can
// store any type (a foreign type, a damaged Livox frame) without its generated class.
struct RawMessage {
  std::string datatype;
  std::string md5sum;
  std::string definition;
  std::vector<uint8_t> bytes;
};

// The wire bytes of a generated message.
template <class M>
std::vector<uint8_t> serialize(const M& msg) {
  const uint32_t size = ros::serialization::serializationLength(msg);
  std::vector<uint8_t> bytes(size);
  ros::serialization::OStream out(bytes.data(), size);
  ros::serialization::serialize(out, msg);
  return bytes;
}

// The generated message's type fields with its bytes.
template <class M>
RawMessage raw_of(const M& msg) {
  return RawMessage{ros::message_traits::datatype(msg), ros::message_traits::md5sum(msg),
                    ros::message_traits::definition(msg), serialize(msg)};
}

// `bytes` recorded as a Livox frame (its type, MD5 sum and definition), whatever they hold.
RawMessage livox_raw(std::vector<uint8_t> bytes);

// The connection header a recorder writes for one publisher (`callerid`) of `msg` on `topic`,
// with `extra` fields (such as "latching") added.
template <class M>
boost::shared_ptr<ros::M_string> connection_header(
    const M& msg, const std::string& topic, const std::string& callerid,
    const std::map<std::string, std::string>& extra = {}) {
  auto header = boost::make_shared<ros::M_string>(extra.begin(), extra.end());
  (*header)["type"] = ros::message_traits::datatype(msg);
  (*header)["md5sum"] = ros::message_traits::md5sum(msg);
  (*header)["message_definition"] = ros::message_traits::definition(msg);
  (*header)["callerid"] = callerid;
  (*header)["topic"] = topic;
  return header;
}

// Writes a new bag message by message; close() or the destructor writes the index.
// Every connection a message's header names (publisher and type) gets a connection record of its
// own, as a recorder writes several publishers on one topic; without a header, the bag library
// files every message of a topic under the first message's connection.
class BagBuilder {
 public:
  explicit BagBuilder(
      const std::string& path,
      rosbag::compression::CompressionType compression = rosbag::compression::Uncompressed,
      uint32_t chunk_threshold = 768 * 1024);
  ~BagBuilder();
  BagBuilder(const BagBuilder&) = delete;
  BagBuilder& operator=(const BagBuilder&) = delete;

  // `msg` stored at `time`, under a connection of publisher `callerid` (empty: the bag
  // library's own connection of the topic) with the `extra` header fields.
  template <class M>
  BagBuilder& write(const std::string& topic, const ros::Time& time, const M& msg,
                    const std::string& callerid = "",
                    const std::map<std::string, std::string>& extra = {}) {
    if (callerid.empty()) {
      bag_.write(topic, time, msg);
    } else {
      bag_.write(topic, time, msg, connection_header(msg, topic, callerid, extra));
    }
    return *this;
  }

  // The calls below store their message at the next record time: 1 s, then 1 ms more per
  // message, so that the record order is the order of the calls whatever the header stamps say,
  // under a connection of publisher "/drone_test" for each type.
  // A Livox frame built by make_livox_frame, numbered 1, 2, ... in its header.
  BagBuilder& frame(const ros::Time& stamp, const std::vector<XyzPoint>& points,
                    const std::string& topic = kLivoxTopic);
  // A std_msgs/String message.
  BagBuilder& text(const std::string& data, const std::string& topic = kLivoxTopic);
  BagBuilder& raw(const RawMessage& message, const std::string& topic = kLivoxTopic);

  // Writes the index.
  void close();

  static constexpr const char* kLivoxTopic = "/livox/lidar";

 private:
  ros::Time next_record_time();

  rosbag::Bag bag_;
  uint32_t seq_ = 0;
  int64_t sequenced_ = 0;
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

// CRC-32 of `bytes` as zlib computes it (reflected, polynomial 0xEDB88320).
uint32_t crc32_of(const std::vector<uint8_t>& bytes);

// Every message of a bag in the bag library's record-time order.
std::vector<StoredMessage> read_all(const std::string& path);

// Every message of a bag as one line "<topic>|<type>|<md5sum>|<callerid>|<latching> <sec>.<nsec>
// <size> <crc32 of the bytes>", grouped by that connection key (keys in byte order), each
// group's messages in the reader's time order: as the bag library reads the bag, and as Debian's
// Python rosbag reads it (an independent reader; its failure adds a test failure and gives no
// lines). The two agree on any bag that both read alike, whichever order they give to messages
// of different connections at one time.
std::vector<std::string> message_listing(const std::string& path);
std::vector<std::string> python_message_listing(const std::string& path);

// How many messages Debian's Python rosbag hands over before one it handed over earlier, reading
// the whole bag in its time order (which trusts each connection's index as written), and how
// many it hands over in all.
struct PythonOrder {
  size_t messages = 0;
  size_t steps_back = 0;
};
PythonOrder python_order(const std::string& path);

// One entry per connection: topic and header.
std::vector<std::map<std::string, std::string>> connections_of(const std::string& path);

// A small recording for the damaged-bag tests, all in one chunk stored with `compression`:
// `frames` Livox frames of 3 points on /livox/lidar (connection 0), each followed by a
// std_msgs/String on /status (connection 1), the last of which holds 320 bytes, so that the
// chunk ends with a message that a converter copies. Frame i is stamped at 100 + i seconds.
void write_damage_recording(
    const std::string& path,
    rosbag::compression::CompressionType compression = rosbag::compression::Uncompressed,
    uint32_t frames = 2);

}  // namespace drone_test

namespace ros {
namespace message_traits {

// A RawMessage is recorded as whatever type its fields name.
template <>
struct MD5Sum<drone_test::RawMessage> {
  static const char* value(const drone_test::RawMessage& m) { return m.md5sum.c_str(); }
};
template <>
struct DataType<drone_test::RawMessage> {
  static const char* value(const drone_test::RawMessage& m) { return m.datatype.c_str(); }
};
template <>
struct Definition<drone_test::RawMessage> {
  static const char* value(const drone_test::RawMessage& m) { return m.definition.c_str(); }
};

}  // namespace message_traits

namespace serialization {

// A RawMessage serialises to exactly its bytes.
template <>
struct Serializer<drone_test::RawMessage> {
  template <typename Stream>
  static void write(Stream& stream, const drone_test::RawMessage& m) {
    if (!m.bytes.empty()) {
      std::memcpy(stream.advance(static_cast<uint32_t>(m.bytes.size())), m.bytes.data(),
                  m.bytes.size());
    }
  }
  static uint32_t serializedLength(const drone_test::RawMessage& m) {
    return static_cast<uint32_t>(m.bytes.size());
  }
};

}  // namespace serialization
}  // namespace ros
