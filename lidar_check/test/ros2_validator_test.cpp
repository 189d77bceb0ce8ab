// The validator on ROS 2 recordings: the same frames recorded as a ROS 1 bag and as MCAP and
// SQLite recordings of every layout give the same findings; what only ROS 2 has (the layout
// stated by the channel's definition, CDR encapsulations, split files, a recording cut off).
#include <gtest/gtest.h>

#include <livox_ros_driver2/CustomMsg.h>
#include <std_msgs/String.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "elevation.h"
#include "lidar_check/lidar_validator.h"
#include "testing/bags.h"
#include "testing/cdr_frames.h"
#include "testing/mcap_bytes.h"
#include "testing/process.h"
#include "testing/rosbag2_db.h"
#include "testing/temp_dir.h"

namespace {

using drone_test::BagBuilder;
using drone_test::XyzPoint;
using lidar_validate::LidarValidator;
using lidar_validate::ValidationResult;
using livox_ros_driver2::CustomMsg;

const std::string kTopic = BagBuilder::kLivoxTopic;
const std::string kFrameType = "livox_ros_driver2/msg/CustomMsg";
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr uint64_t kFirstLog = 1000000000;  // where BagBuilder records its first message, ns

// Frames that hit every check: a late frame, a high-NaN frame, a point above the band, a frame
// with too few points, a stamp of 0, a stamp going backwards; the rest 100 ms apart.
std::vector<CustomMsg> flight() {
  std::vector<CustomMsg> frames;
  for (uint32_t i = 0; i < 30; ++i) {
    ros::Time stamp = ros::Time(1700000000, 0) + ros::Duration(0.1 * i);
    if (i >= 5) stamp += ros::Duration(0.15);
    if (i == 24) stamp -= ros::Duration(0.4);
    if (i == 20) stamp = ros::Time(0, 0);
    std::vector<XyzPoint> points = scancheck_test::level_points(i == 15 ? 2 : 12);
    if (i == 8) {
      for (int k = 0; k < 11; ++k) points.push_back({kNan, 1.0f, 1.0f});
    }
    if (i == 12) points.push_back(scancheck_test::point_at_elevation(70.0));
    frames.push_back(drone_test::make_livox_frame(i + 1, stamp, points));
  }
  return frames;
}

// Frame i is recorded 1 ms after frame i - 1, from 1 s on, in every storage.
uint64_t log_time(size_t i) { return kFirstLog + i * 1000000; }

ValidationResult check(const std::string& path) {
  return LidarValidator::validate(path, kTopic, 100.0, 20.0, 5, -8.0, 60.0);
}

// The frames as BagBuilder records them: record times 1 ms apart from 1 s.
std::string ros1_bag(const drone_test::TempDir& dir, const std::vector<CustomMsg>& frames) {
  std::string path = dir.file("flight.bag");
  BagBuilder bag(path);
  std_msgs::String text;
  text.data = "not a frame";
  for (size_t i = 0; i < frames.size(); ++i) {
    ros::Time at;
    at.fromNSec(log_time(i));
    bag.write(kTopic, at, frames[i], "/livox_driver");
    if (i % 7 == 0) bag.write(kTopic, at, text, "/talker");
  }
  bag.close();
  return path;
}

// Every figure of two results alike, the path aside.
void expect_same(const ValidationResult& ros2, const ValidationResult& ros1) {
  ASSERT_TRUE(ros2.success) << ros2.error;
  ASSERT_TRUE(ros1.success) << ros1.error;
  EXPECT_EQ(ros2.total_frames, ros1.total_frames);
  EXPECT_EQ(ros2.anomaly_frames, ros1.anomaly_frames);
  EXPECT_EQ(ros2.low_point_frames, ros1.low_point_frames);
  EXPECT_EQ(ros2.high_nan_frames, ros1.high_nan_frames);
  EXPECT_EQ(ros2.invalid_angle_frames, ros1.invalid_angle_frames);
  EXPECT_EQ(ros2.avg_points, ros1.avg_points);
  EXPECT_EQ(ros2.avg_interval_ms, ros1.avg_interval_ms);
  EXPECT_EQ(ros2.min_interval_ms, ros1.min_interval_ms);
  EXPECT_EQ(ros2.max_interval_ms, ros1.max_interval_ms);
  ASSERT_EQ(ros2.anomalies.size(), ros1.anomalies.size());
  for (size_t i = 0; i < ros1.anomalies.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& a = ros2.anomalies[i];
    const auto& b = ros1.anomalies[i];
    EXPECT_EQ(a.frame, b.frame);
    EXPECT_EQ(a.time, b.time);
    EXPECT_EQ(a.points, b.points);
    EXPECT_EQ(a.nan, b.nan);
    EXPECT_EQ(a.invalid_angle, b.invalid_angle);
    EXPECT_EQ(a.interval_ms, b.interval_ms);
    EXPECT_EQ(a.interval_anomaly, b.interval_anomaly);
  }
}

// The channels of the ROS 2 recordings: the frames (1), on the same topic a text message (2),
// and frames on another topic (3).
std::vector<drone_test::McapChannel> channels() {
  std::vector<drone_test::McapChannel> c(3);
  c[0].id = 1;
  c[0].topic = kTopic;
  c[0].type = kFrameType;
  c[0].definition = drone_test::livox_frame_definition();
  c[1].id = 2;
  c[1].topic = kTopic;
  c[1].type = "std_msgs/msg/String";
  c[1].definition = "string data\n";
  c[2].id = 3;
  c[2].topic = "/livox/other";
  c[2].type = kFrameType;
  c[2].definition = drone_test::livox_frame_definition();
  return c;
}

// The messages of the frames in CDR, with the other channels' messages between them.
std::vector<drone_test::McapMessage> messages(const std::vector<CustomMsg>& frames,
                                              bool big_endian = false) {
  std::vector<drone_test::McapMessage> out;
  const std::string text("\x00\x01\x00\x00\x0c\x00\x00\x00not a frame", 19);
  for (size_t i = 0; i < frames.size(); ++i) {
    const std::vector<uint8_t> cdr = drone_test::cdr_frame(frames[i], big_endian);
    const std::string bytes(cdr.begin(), cdr.end());
    out.push_back({1, log_time(i), bytes, static_cast<uint32_t>(i)});
    if (i % 7 == 0) {
      out.push_back({2, log_time(i), text, 0});
      out.push_back({3, log_time(i), text, 0});  // never decoded: another topic
    }
  }
  return out;
}

// The same as a rosbag2 SQLite file; `definitions` false: the layout of Humble, without
// message definitions, where the type name decides.
void write_db3(const std::string& path, const std::vector<drone_test::McapMessage>& messages,
               bool definitions) {
  std::vector<drone_test::Db3Topic> topics;
  for (const drone_test::McapChannel& c : channels()) {
    topics.push_back({c.topic, c.type, "cdr", definitions ? c.definition : ""});
  }
  std::vector<drone_test::Db3Message> rows;
  rows.reserve(messages.size());
  for (const drone_test::McapMessage& m : messages) {
    rows.push_back({m.channel, static_cast<int64_t>(m.log_time),
                    std::vector<uint8_t>(m.data.begin(), m.data.end())});
  }
  drone_test::write_rosbag2_db3(path, topics, rows);
}

// Every storage and layout gives the findings of the ROS 1 bag of the same frames.
TEST(Ros2Validator, EveryStorageAndLayoutGivesTheFindingsOfTheBag) {
  drone_test::TempDir dir;
  const std::vector<CustomMsg> frames = flight();
  const ValidationResult bag = check(ros1_bag(dir, frames));
  ASSERT_EQ(bag.total_frames, 30);
  ASSERT_GT(bag.anomalies.size(), 5u);
  const std::vector<drone_test::McapMessage> stored = messages(frames);
  // The layouts the recordings of independent writers leave out (see the test below).
  for (const bool summary : {true, false}) {
    SCOPED_TRACE(summary ? "chunks of 5, summary" : "no chunks, no summary");
    drone_test::McapLayout layout;
    layout.messages_per_chunk = 5;
    layout.chunked = summary;
    layout.summary = summary;
    const std::string path = dir.file("flight.mcap");
    drone_test::write_file(path, drone_test::mcap_bytes(channels(), stored, layout));
    const ValidationResult r = check(path);
    expect_same(r, bag);
    EXPECT_TRUE(r.read.recording_closed);
  }
  for (const bool definitions : {true, false}) {
    SCOPED_TRACE(definitions ? "SQLite with definitions" : "SQLite without definitions");
    const std::string path = dir.file(definitions ? "jazzy.db3" : "humble.db3");
    write_db3(path, stored, definitions);
    expect_same(check(path), bag);
  }
  // Big-endian frames are read alike.
  const std::string big = dir.file("big.mcap");
  drone_test::write_file(big, drone_test::mcap_bytes(channels(), messages(frames, true)));
  expect_same(check(big), bag);
}

// A recording split into files without metadata.yaml is read as one: the channels of each file
// (ids of its own) matched by topic, type and encoding.
TEST(Ros2Validator, SplitRecordingsAreReadAsOne) {
  drone_test::TempDir dir;
  const std::vector<CustomMsg> frames = flight();
  const ValidationResult bag = check(ros1_bag(dir, frames));
  const std::vector<drone_test::McapMessage> stored = messages(frames);
  const size_t half = stored.size() / 2;
  const std::vector<drone_test::McapMessage> first(stored.begin(), stored.begin() + half);
  std::vector<drone_test::McapMessage> second(stored.begin() + half, stored.end());
  // The second file numbers its channels the other way round.
  std::vector<drone_test::McapChannel> renumbered = channels();
  for (drone_test::McapChannel& c : renumbered) c.id = static_cast<uint16_t>(4 - c.id);
  for (drone_test::McapMessage& m : second) m.channel = static_cast<uint16_t>(4 - m.channel);
  // Without metadata.yaml (the recorder was killed): the storage files alone, in name order.
  const std::string folder = dir.file("mcap_bare");
  std::filesystem::create_directory(folder);
  drone_test::write_file(folder + "/flight_0.mcap", drone_test::mcap_bytes(channels(), first));
  drone_test::write_file(folder + "/flight_1.mcap", drone_test::mcap_bytes(renumbered, second));
  expect_same(check(folder), bag);
  const std::string db3 = dir.file("db3_bare");
  std::filesystem::create_directory(db3);
  write_db3(db3 + "/flight_0.db3", first, true);
  write_db3(db3 + "/flight_1.db3",
            std::vector<drone_test::McapMessage>(stored.begin() + half, stored.end()), true);
  expect_same(check(db3), bag);
}

// A recording that did not end (no summary, cut inside its data) is checked up to the cut:
// the findings of the bag of the whole frames before it, and the recording marked not closed.
TEST(Ros2Validator, RecordingCutOffIsCheckedUpToTheCut) {
  drone_test::TempDir dir;
  const std::vector<CustomMsg> frames = flight();
  drone_test::McapLayout layout;
  layout.summary = false;
  layout.messages_per_chunk = 3;
  const std::string whole = drone_test::mcap_bytes(channels(), messages(frames), layout);
  const std::string path = dir.file("cut.mcap");
  for (const size_t cut : {whole.size() / 3, whole.size() / 2, whole.size() - 20}) {
    SCOPED_TRACE(cut);
    drone_test::write_file(path, whole.substr(0, cut));
    const ValidationResult r = check(path);
    ASSERT_TRUE(r.success) << r.error;
    EXPECT_FALSE(r.read.recording_closed);
    ASSERT_GT(r.total_frames, 0);
    ASSERT_LE(r.total_frames, 30);
    const std::vector<CustomMsg> kept(frames.begin(), frames.begin() + r.total_frames);
    expect_same(r, check(ros1_bag(dir, kept)));
  }
}

// The definition stored with a channel decides, not its type name: a message named like the
// Livox frame but of another layout is no frame, a renamed copy of the frame is one.
TEST(Ros2Validator, TheStoredLayoutDecidesWhatIsAFrame) {
  drone_test::TempDir dir;
  const std::vector<CustomMsg> frames = flight();
  const std::vector<drone_test::McapMessage> stored = messages(frames);
  const std::string path = dir.file("named.mcap");
  std::vector<drone_test::McapChannel> named = channels();
  named[0].definition = "string data\n";
  drone_test::write_file(path, drone_test::mcap_bytes(named, stored));
  const ValidationResult other = check(path);
  ASSERT_TRUE(other.success) << other.error;
  EXPECT_EQ(other.total_frames, 0);
  std::vector<drone_test::McapChannel> renamed = channels();
  renamed[0].type = "survey/msg/Scan";
  drone_test::write_file(path, drone_test::mcap_bytes(renamed, stored));
  expect_same(check(path), check(ros1_bag(dir, frames)));
}

// Frame f of the Livox recordings in testing/fixtures/ros2-livox/, by the rule of
// testing/ros2-writers/write_livox.mjs that wrote them (header stamps keep sec at 1700000000, as
// the writer stores them, so frames 10 and 11 go back in time).
CustomMsg writer_frame(uint32_t f) {
  const uint64_t stamp = 1700000000000000000ULL + uint64_t{f} * 100000000 + 1000;
  CustomMsg msg;
  msg.header.stamp = ros::Time(1700000000, static_cast<uint32_t>(stamp % 1000000000));
  const char* const ids[] = {"livox_frame", "l", "lidar_0", "ld"};
  msg.header.frame_id = ids[f % 4];
  msg.timebase = stamp;
  msg.point_num = 96;
  msg.lidar_id = 1;
  for (uint32_t p = 0; p < 96; ++p) {
    livox_ros_driver2::CustomPoint point;
    point.offset_time = p * 1000 + f;
    point.x = static_cast<float>(1.0 + f + p / 8.0);
    point.y = static_cast<float>(-2.0 + p / 16.0);
    point.z = static_cast<float>((p % 7) / 4.0);
    point.reflectivity = static_cast<uint8_t>((p * 3 + f) % 256);
    point.tag = static_cast<uint8_t>(p % 4);
    point.line = static_cast<uint8_t>(p % 6);
    msg.points.push_back(point);
  }
  return msg;
}

// The recordings of independent writers (@mcap/core with @foxglove/rosmsg2-serialization, the
// sqlite3 command) in every layout give the findings of a ROS 1 bag of the same frames; the one
// cut off those of the frames before the cut, marked not closed.
TEST(Ros2Validator, RecordingsOfIndependentWritersGiveTheFindingsOfTheBag) {
  drone_test::TempDir dir;
  const auto checks = [](const std::string& path) {
    return LidarValidator::validate(path, kTopic, 100.0, 20.0, 100, -8.0, 20.0);
  };
  // The bag of the first n frames, each recorded at its log time (the stamp the writer gave it).
  const auto bag_of = [&](uint32_t n) {
    const std::string path = dir.file("twin" + std::to_string(n) + ".bag");
    BagBuilder bag(path);
    for (uint32_t f = 0; f < n; ++f) {
      ros::Time at;
      at.fromNSec(1700000000000000000ULL + uint64_t{f} * 100000000 + 1000);
      bag.write(kTopic, at, writer_frame(f));
    }
    bag.close();
    return checks(path);
  };
  const ValidationResult whole = bag_of(12);
  ASSERT_EQ(whole.total_frames, 12);
  ASSERT_GT(whole.invalid_angle_frames, 0);
  ASSERT_GT(whole.anomaly_frames, 0);
  for (const char* recording : {"livox-zstd.mcap", "livox-lz4.mcap", "livox-unchunked.mcap",
                                "livox-nosummary.mcap", "livox-split", "livox-sqlite"}) {
    SCOPED_TRACE(recording);
    expect_same(checks(drone_test::fixture_path(std::string("ros2-livox/") + recording)), whole);
  }
  const ValidationResult cut = checks(drone_test::fixture_path("ros2-livox/livox-cut.mcap"));
  expect_same(cut, bag_of(8));
  EXPECT_FALSE(cut.read.recording_closed);
}

// Frames ROS 2 stores in ways the reader refuses end the pass with what and which frame.
TEST(Ros2Validator, FramesThatAreNotPlainCdrAreRefused) {
  drone_test::TempDir dir;
  const std::vector<CustomMsg> frames = flight();
  const std::string prefix = "Bag validation failed: ";
  std::vector<drone_test::McapMessage> stored = messages(frames);
  // The third frame in XCDR2.
  size_t seen = 0;
  for (drone_test::McapMessage& m : stored) {
    if (m.channel == 1 && ++seen == 3) m.data[1] = 0x07;
  }
  const std::string xcdr2 = dir.file("xcdr2.mcap");
  drone_test::write_file(xcdr2, drone_test::mcap_bytes(channels(), stored));
  const ValidationResult r = check(xcdr2);
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.error, prefix +
                         "Livox frame 3 cannot be read: its encapsulation 00 07 is XCDR2 "
                         "(CDR2_LE), which is not read; only plain CDR (00 00 big-endian, 00 01 "
                         "little-endian) is");
  // Frames stored in another encoding than CDR.
  std::vector<drone_test::McapChannel> json = channels();
  json[0].encoding = "json";
  const std::string other = dir.file("json.mcap");
  drone_test::write_file(other, drone_test::mcap_bytes(json, messages(frames)));
  EXPECT_EQ(check(other).error, prefix +
                                    "the Livox frames of topic /livox/lidar are stored as "
                                    "\"json\", which is not read; only cdr is");
}

}  // namespace
