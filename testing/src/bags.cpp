#include "testing/bags.h"

#include <gtest/gtest.h>

#include <rosbag/view.h>
#include <std_msgs/String.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <tuple>
#include <utility>

#include "testing/process.h"

namespace drone_test {

namespace {

constexpr char kCallerId[] = "/drone_test";

}  // namespace

RawMessage livox_raw(std::vector<uint8_t> bytes) {
  using livox_ros_driver2::CustomMsg;
  return RawMessage{ros::message_traits::DataType<CustomMsg>::value(),
                    ros::message_traits::MD5Sum<CustomMsg>::value(),
                    ros::message_traits::Definition<CustomMsg>::value(), std::move(bytes)};
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
  const int64_t ms = 1000 + sequenced_++;
  return ros::Time(static_cast<uint32_t>(ms / 1000), static_cast<uint32_t>(ms % 1000) * 1000000u);
}

BagBuilder& BagBuilder::frame(const ros::Time& stamp, const std::vector<XyzPoint>& points,
                              const std::string& topic) {
  return write(topic, next_record_time(), make_livox_frame(++seq_, stamp, points), kCallerId);
}

BagBuilder& BagBuilder::text(const std::string& data, const std::string& topic) {
  std_msgs::String msg;
  msg.data = data;
  return write(topic, next_record_time(), msg, kCallerId);
}

BagBuilder& BagBuilder::raw(const RawMessage& message, const std::string& topic) {
  return write(topic, next_record_time(), message, kCallerId);
}

bool StoredMessage::operator<(const StoredMessage& o) const {
  return std::tie(time, topic, connection, bytes) <
         std::tie(o.time, o.topic, o.connection, o.bytes);
}

bool StoredMessage::operator==(const StoredMessage& o) const {
  return std::tie(time, topic, connection, bytes) ==
         std::tie(o.time, o.topic, o.connection, o.bytes);
}

std::vector<StoredMessage> read_all(const std::string& path) {
  rosbag::Bag bag(path, rosbag::bagmode::Read);
  std::vector<StoredMessage> out;
  for (const rosbag::MessageInstance& m : rosbag::View(bag)) {
    StoredMessage s;
    s.topic = m.getTopic();
    s.time = m.getTime();
    if (m.getConnectionHeader()) s.connection = *m.getConnectionHeader();
    s.bytes.resize(m.size());
    ros::serialization::OStream stream(s.bytes.data(), m.size());
    m.write(stream);
    out.push_back(std::move(s));
  }
  return out;
}

uint32_t crc32_of(const std::vector<uint8_t>& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (const uint8_t b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

namespace {

std::string field_or_empty(const std::map<std::string, std::string>& header, const char* name) {
  const auto it = header.find(name);
  return it == header.end() ? std::string() : it->second;
}

// Sorts listing lines by their connection key alone, keeping each key's lines in their order.
std::vector<std::string> grouped(std::vector<std::string> lines) {
  const auto key = [](const std::string& line) { return line.substr(0, line.find(' ')); };
  std::stable_sort(lines.begin(), lines.end(),
                   [&](const std::string& a, const std::string& b) { return key(a) < key(b); });
  return lines;
}

const char kPythonListing[] = R"PY(
import sys, zlib, rosbag
lines = []
with rosbag.Bag(sys.argv[1]) as bag:
    for topic, raw, t, header in bag.read_messages(raw=True, return_connection_header=True):
        h = {k: (v.decode() if isinstance(v, bytes) else v) for k, v in header.items()}
        key = '|'.join([topic, raw[0], raw[2], h.get('callerid', ''), h.get('latching', '')])
        lines.append('%s %d.%09d %d %d' % (key, t.secs, t.nsecs, len(raw[1]),
                                           zlib.crc32(raw[1]) & 0xffffffff))
for line in lines:
    print(line)
)PY";

const char kPythonOrder[] = R"PY(
import sys, rosbag
count = back = 0
last = None
with rosbag.Bag(sys.argv[1]) as bag:
    for _, _, t in bag.read_messages(raw=True):
        count += 1
        if last is not None and t < last:
            back += 1
        last = t
print(count, back)
)PY";

}  // namespace

PythonOrder python_order(const std::string& path) {
  const ProcessResult py = run_python(kPythonOrder, {path});
  EXPECT_EQ(py.exit_code, 0) << py.err;
  PythonOrder order;
  std::istringstream(py.out) >> order.messages >> order.steps_back;
  return order;
}

std::vector<std::string> message_listing(const std::string& path) {
  std::vector<std::string> lines;
  for (const StoredMessage& m : read_all(path)) {
    char when[32];
    std::snprintf(when, sizeof when, "%u.%09u", m.time.sec, m.time.nsec);
    lines.push_back(m.topic + "|" + field_or_empty(m.connection, "type") + "|" +
                    field_or_empty(m.connection, "md5sum") + "|" +
                    field_or_empty(m.connection, "callerid") + "|" +
                    field_or_empty(m.connection, "latching") + " " + when + " " +
                    std::to_string(m.bytes.size()) + " " + std::to_string(crc32_of(m.bytes)));
  }
  return grouped(std::move(lines));
}

std::vector<std::string> python_message_listing(const std::string& path) {
  const ProcessResult py = run_python(kPythonListing, {path});
  EXPECT_EQ(py.exit_code, 0) << py.err;
  if (py.exit_code != 0) return {};
  return grouped(split_lines(py.out));
}

std::vector<std::map<std::string, std::string>> connections_of(const std::string& path) {
  rosbag::Bag bag(path, rosbag::bagmode::Read);
  rosbag::View view(bag);
  std::vector<std::map<std::string, std::string>> out;
  for (const rosbag::ConnectionInfo* c : view.getConnections()) {
    std::map<std::string, std::string> header;
    if (c->header) header = *c->header;
    header["topic"] = c->topic;
    out.push_back(header);
  }
  return out;
}

void write_damage_recording(const std::string& path,
                            rosbag::compression::CompressionType compression, uint32_t frames) {
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  bag.setCompression(compression);
  for (uint32_t i = 0; i < frames; ++i) {
    const ros::Time stamp(100 + i, 0);
    const float f = static_cast<float>(i);
    bag.write(
        "/livox/lidar", stamp,
        make_livox_frame(i, stamp, {{1 + f, 2, 3, 10}, {4, 5 + f, 6, 20}, {7, 8, 9 + f, 30}}));
    std_msgs::String status;
    // 316 characters and their length word: 320 bytes.
    status.data = i + 1 == frames ? std::string(316, 's') : "frame " + std::to_string(i);
    bag.write("/status", stamp + ros::Duration(0, 500000000), status);
  }
  bag.close();
}

}  // namespace drone_test
