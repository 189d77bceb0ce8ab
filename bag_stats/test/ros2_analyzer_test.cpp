// The analyzer on generated ROS 2 recordings: the inventory the files state and the one counted
// from the messages agree in every layout, and the stated one is taken without reading a message.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bag_stats/bag_analyzer.h"
#include "testing/mcap_bytes.h"
#include "testing/temp_dir.h"

namespace {

using bag_analyzer::BagAnalysisResult;
using bag_analyzer::BagAnalyzer;

// Topics in an order that is not byte order, /status on two channels of different types.
std::vector<drone_test::McapChannel> channels() {
  std::vector<drone_test::McapChannel> c(4);
  c[0] = {3, "/status", "std_msgs/msg/String", "cdr", {}};
  c[1] = {5, "/Imu", "sensor_msgs/msg/Imu", "cdr", {}};
  c[2] = {7, "/a/b", "std_msgs/msg/Empty", "cdr", {}};
  c[3] = {9, "/status", "diagnostic_msgs/msg/DiagnosticStatus", "cdr", {}};
  return c;
}

// 41 messages at uneven times, channel i taking every (i + 2)-th tick.
std::vector<drone_test::McapMessage> messages() {
  std::vector<drone_test::McapMessage> out;
  const std::vector<drone_test::McapChannel> c = channels();
  for (uint64_t tick = 0; out.size() < 41; ++tick) {
    for (size_t i = 0; i < c.size() && out.size() < 41; ++i) {
      if (tick % (i + 2) == 0) {
        out.push_back({c[i].id, 1700000000123456789ULL + tick * 37000001, std::string(9, 'm'), 0});
      }
    }
  }
  return out;
}

// The figures the messages make: per topic the count and the type of its channel stored last,
// as a ROS 1 topic takes the type of its connection with the highest id.
void expect_inventory_of_messages(const BagAnalysisResult& r) {
  ASSERT_TRUE(r.success) << r.error_message;
  std::map<std::string, uint32_t> counts;
  std::map<std::string, std::string> types;
  uint64_t first = UINT64_MAX, last = 0;
  for (const drone_test::McapChannel& c : channels()) types[c.topic] = c.type;  // all carry some
  for (const drone_test::McapMessage& m : messages()) {
    for (const drone_test::McapChannel& c : channels()) {
      if (c.id == m.channel) ++counts[c.topic];
    }
    first = std::min(first, m.log_time);
    last = std::max(last, m.log_time);
  }
  ASSERT_EQ(r.topics.size(), counts.size());
  size_t i = 0;
  for (const auto& [topic, count] : counts) {
    EXPECT_EQ(r.topics[i].name, topic);
    EXPECT_EQ(r.topics[i].message_count, count);
    EXPECT_EQ(r.topics[i].msg_type, types[topic]);
    ++i;
  }
  EXPECT_EQ(r.total_messages, messages().size());
  EXPECT_NEAR(r.start_time, static_cast<double>(first) / 1e9, 1e-6);
  EXPECT_NEAR(r.duration, static_cast<double>(last - first) / 1e9, 1e-6);
}

TEST(Ros2Analyzer, StatedAndCountedInventoriesAgreeInEveryLayout) {
  drone_test::TempDir dir;
  struct Case {
    const char* name;
    std::string compression;
    bool chunked;
    bool summary;
  };
  const Case cases[] = {
      {"zstd chunks, summary", "zstd", true, true},     {"lz4 chunks, summary", "lz4", true, true},
      {"plain chunks, summary", "", true, true},        {"no chunks, summary", "", false, true},
      {"zstd chunks, no summary", "zstd", true, false}, {"no chunks, no summary", "", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    drone_test::McapLayout layout;
    layout.compression = c.compression;
    layout.chunked = c.chunked;
    layout.summary = c.summary;
    layout.messages_per_chunk = 5;
    const std::string path = dir.file("r.mcap");
    drone_test::write_file(path, drone_test::mcap_bytes(channels(), messages(), layout));
    const BagAnalysisResult r = BagAnalyzer::analyze(path);
    expect_inventory_of_messages(r);
    EXPECT_TRUE(r.read.recording_closed);
  }
}

// With a summary the counts come from its Statistics record: chunks whose bytes no longer
// decompress are not read, so the inventory stands; without one the same damage is found and
// refused with the reader's text.
TEST(Ros2Analyzer, StatedInventoryReadsNoMessage) {
  drone_test::TempDir dir;
  for (const bool summary : {true, false}) {
    SCOPED_TRACE(summary ? "summary" : "no summary");
    drone_test::McapLayout layout;
    layout.compression = "zstd";
    layout.summary = summary;
    layout.messages_per_chunk = 5;
    std::string bytes = drone_test::mcap_bytes(channels(), messages(), layout);
    // Every zstd frame's magic number (28 b5 2f fd) spoilt.
    for (size_t at = bytes.find("\x28\xb5\x2f\xfd"); at != std::string::npos;
         at = bytes.find("\x28\xb5\x2f\xfd", at + 4)) {
      bytes[at] = 0;
    }
    const std::string path = dir.file("damaged.mcap");
    drone_test::write_file(path, bytes);
    const BagAnalysisResult r = BagAnalyzer::analyze(path);
    if (summary) {
      expect_inventory_of_messages(r);
    } else {
      EXPECT_FALSE(r.success);
      EXPECT_EQ(r.error_message.rfind("无法打开 bag 文件: ", 0), 0u) << r.error_message;
      EXPECT_GT(r.error_message.size(), std::string("无法打开 bag 文件: ").size());
      EXPECT_TRUE(r.topics.empty());
    }
  }
}

}  // namespace
