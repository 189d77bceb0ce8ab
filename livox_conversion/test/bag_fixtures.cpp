#include "bag_fixtures.h"

#include <rosbag/bag.h>
#include <rosbag/view.h>
#include <std_msgs/String.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <tuple>
#include <utility>

#include "testing/livox.h"

namespace cloudconv_test {

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

std::vector<uint8_t> expected_cloud_data(const livox_ros_driver2::CustomMsg& frame) {
  std::vector<uint8_t> data;
  for (const livox_ros_driver2::CustomPoint& p : frame.points) {
    const float values[4] = {p.x, p.y, p.z, static_cast<float>(p.reflectivity)};
    uint8_t bytes[16];
    std::memcpy(bytes, values, sizeof bytes);
    data.insert(data.end(), bytes, bytes + 16);
  }
  return data;
}

livox_ros_driver2::CustomMsg random_frame(uint32_t seq, const ros::Time& stamp, size_t points,
                                          uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> coord(-80.0f, 80.0f);
  std::vector<drone_test::XyzPoint> xyz(points);
  for (drone_test::XyzPoint& p : xyz) {
    p.x = coord(rng);
    p.y = coord(rng);
    p.z = coord(rng);
    p.reflectivity = static_cast<uint8_t>(rng() % 256);
  }
  return drone_test::make_livox_frame(seq, stamp, xyz);
}

std::vector<size_t> message_length_fields(const std::string& bag_bytes) {
  const auto u32 = [&](size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, bag_bytes.data() + at, 4);
    return v;
  };
  // A record is: header length, header fields (length + "name=value" each), data length, data.
  // Chunks stored without compression hold records of their own.
  std::vector<size_t> found;
  std::vector<std::pair<size_t, size_t>> spans = {{13, bag_bytes.size()}};  // after the version
  while (!spans.empty()) {
    auto [at, end] = spans.back();
    spans.pop_back();
    while (at + 4 <= end) {
      const uint32_t header_length = u32(at);
      uint8_t op = 0;
      bool uncompressed = false;
      for (size_t f = at + 4; f < at + 4 + header_length;) {
        const uint32_t length = u32(f);
        const std::string field = bag_bytes.substr(f + 4, length);
        if (field.rfind("op=", 0) == 0) op = static_cast<uint8_t>(field[3]);
        if (field == "compression=none") uncompressed = true;
        f += 4 + length;
      }
      const size_t length_at = at + 4 + header_length;
      const uint32_t data_length = u32(length_at);
      if (op == 2) found.push_back(length_at);  // a message record
      if (op == 5 && uncompressed) spans.push_back({length_at + 4, length_at + 4 + data_length});
      at = length_at + 4 + data_length;
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

void write_small_recording(const std::string& path) {
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  bag.write("/livox/lidar", ros::Time(100, 0), random_frame(1, ros::Time(99, 5), 3, 11));
  std_msgs::String status;
  status.data = "armed";
  bag.write("/status", ros::Time(100, 50), status);
  bag.write("/livox/lidar", ros::Time(100, 100000000),
            random_frame(2, ros::Time(99, 100000005), 5, 12));
  bag.close();
}

}  // namespace cloudconv_test
