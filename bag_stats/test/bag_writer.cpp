#include "bag_writer.h"

#include <std_msgs/Int32.h>
#include <std_msgs/String.h>

#include "testing/bag_bytes.h"
#include "testing/bags.h"

namespace bagstat_test {

void write_bag(const std::string& path, const std::vector<TestMessage>& messages,
               rosbag::compression::CompressionType compression, uint32_t chunk_threshold) {
  drone_test::BagBuilder bag(path, compression, chunk_threshold);
  for (const TestMessage& m : messages) {
    if (m.kind == TestMessage::Kind::kString) {
      std_msgs::String msg;
      msg.data = m.topic + "@" + std::to_string(m.time.toNSec());
      bag.write(m.topic, m.time, msg, m.callerid);
    } else {
      std_msgs::Int32 msg;
      msg.data = static_cast<int32_t>(m.time.sec);
      bag.write(m.topic, m.time, msg, m.callerid);
    }
  }
}

std::vector<TestMessage> several_topics() {
  using K = TestMessage::Kind;
  std::vector<TestMessage> out;
  const std::vector<std::pair<std::string, int>> topics = {
      {"/b", 3},           {"/a/long", 2}, {"/a", 4},        {"/B", 1},
      {"/_", 1},           {"/Z", 2},      {"/点云", 2},     {"/q\"uote", 1},
      {"/back\\slash", 1}, {"/nl\nx", 1},  {"/ctl\x01z", 1},
  };
  uint32_t sec = 100;
  for (int round = 0; round < 4; ++round) {
    for (const auto& t : topics) {
      if (round < t.second) {
        const K kind = t.first == "/a" ? K::kInt32 : K::kString;
        out.push_back({t.first, ros::Time(sec, 250000000u * (round % 4)), kind, ""});
      }
      ++sec;
    }
  }
  return out;
}

std::vector<drone_test::NamedFile> damaged_bags(const std::string& dir) {
  std::vector<TestMessage> messages;
  for (uint32_t i = 0; i < 200; ++i) {
    messages.push_back(
        {i % 3 == 0 ? "/imu" : "/scan", ros::Time(1000 + i, 0), TestMessage::Kind::kString, ""});
  }
  const std::string valid_path = dir + "/valid.bag";
  write_bag(valid_path, messages, rosbag::compression::Uncompressed, 2048);
  return drone_test::damaged_copies(valid_path, dir);
}

}  // namespace bagstat_test
