#include "bag_writer.h"

#include <ros/message_traits.h>
#include <std_msgs/Int32.h>
#include <std_msgs/String.h>

#include <boost/make_shared.hpp>

#include <random>

#include "testing/bag_bytes.h"
#include "testing/temp_dir.h"

namespace bagstat_test {

namespace {

template <class M>
void write_one(rosbag::Bag& bag, const TestMessage& m, const M& msg) {
  if (m.callerid.empty()) {
    bag.write(m.topic, m.time, msg);
    return;
  }
  auto header = boost::make_shared<ros::M_string>();
  (*header)["callerid"] = m.callerid;
  (*header)["topic"] = m.topic;
  (*header)["type"] = ros::message_traits::datatype(msg);
  (*header)["md5sum"] = ros::message_traits::md5sum(msg);
  (*header)["message_definition"] = ros::message_traits::definition(msg);
  bag.write(m.topic, m.time, msg, header);
}

}  // namespace

void write_bag(const std::string& path, const std::vector<TestMessage>& messages,
               rosbag::compression::CompressionType compression, uint32_t chunk_threshold) {
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  bag.setCompression(compression);
  bag.setChunkThreshold(chunk_threshold);
  for (const TestMessage& m : messages) {
    if (m.kind == TestMessage::Kind::kString) {
      std_msgs::String msg;
      msg.data = m.topic + "@" + std::to_string(m.time.toNSec());
      write_one(bag, m, msg);
    } else {
      std_msgs::Int32 msg;
      msg.data = static_cast<int32_t>(m.time.sec);
      write_one(bag, m, msg);
    }
  }
  bag.close();
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

std::vector<NamedFile> damaged_bags(const std::string& dir) {
  std::vector<TestMessage> messages;
  for (uint32_t i = 0; i < 200; ++i) {
    messages.push_back(
        {i % 3 == 0 ? "/imu" : "/scan", ros::Time(1000 + i, 0), TestMessage::Kind::kString, ""});
  }
  const std::string valid_path = dir + "/valid.bag";
  write_bag(valid_path, messages, rosbag::compression::Uncompressed, 2048);
  const std::string valid = drone_test::read_file(valid_path);

  std::vector<NamedFile> out;
  const size_t magic = 13;          // "#ROSBAG V2.0\n"
  const size_t header = 13 + 4096;  // the magic and the padded file header record
  const std::vector<size_t> cuts = {1,
                                    5,
                                    magic,
                                    magic + 7,
                                    magic + 40,
                                    header,
                                    header + 9,
                                    valid.size() / 4,
                                    valid.size() / 2,
                                    valid.size() * 3 / 4,
                                    valid.size() - 200,
                                    valid.size() - 1};
  for (const size_t cut : cuts) {
    const std::string path = dir + "/cut_" + std::to_string(cut) + ".bag";
    drone_test::write_file(path, valid.substr(0, cut));
    out.push_back({"cut at " + std::to_string(cut) + " of " + std::to_string(valid.size()), path});
  }

  const std::string field_past_header = dir + "/field_past_header.bag";
  drone_test::write_file(field_past_header, drone_test::with_field_past_header(valid).bytes);
  out.push_back({"a field length running past its header", field_past_header});
  const std::string time_zero = dir + "/time_zero_unknown_connection.bag";
  drone_test::write_file(time_zero,
                         drone_test::with_time_zero_on_undefined_connection(valid).bytes);
  out.push_back({"an index entry at time 0 on an undefined connection", time_zero});

  for (const unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 rng(seed);
    std::string noise(64 * 1024, '\0');
    for (char& c : noise) c = static_cast<char>(rng() & 0xFF);
    const std::string after_magic = dir + "/noise_" + std::to_string(seed) + ".bag";
    drone_test::write_file(after_magic, valid.substr(0, magic) + noise);
    out.push_back({"random bytes after the magic, seed " + std::to_string(seed), after_magic});
    const std::string after_header = dir + "/noise_header_" + std::to_string(seed) + ".bag";
    drone_test::write_file(after_header, valid.substr(0, header) + noise);
    out.push_back(
        {"random bytes after a valid file header, seed " + std::to_string(seed), after_header});
  }
  return out;
}

}  // namespace bagstat_test
