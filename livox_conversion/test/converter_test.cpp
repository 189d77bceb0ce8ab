#include <gtest/gtest.h>
#include <rosbag/bag.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sensor_msgs/Imu.h>
#include <sensor_msgs/PointCloud2.h>
#include <std_msgs/String.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <set>
#include <sstream>

#include "bag_fixtures.h"
#include "bag_format/bag_reader.h"
#include "livox_conversion/livox_to_pc2.h"
#include "testing/bag_bytes.h"
#include "testing/bags.h"
#include "testing/livox.h"
#include "testing/output_paths.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using drone_test::raw_of;
using drone_test::RawMessage;
using drone_test::read_all;
using drone_test::StoredMessage;
using drone_test::TempDir;
using livox_ros_driver2::CustomMsg;
using livox_to_pc2::ConversionResult;
using livox_to_pc2::LivoxToPc2Converter;

const std::string kSource = "/livox/lidar";
const std::string kTarget = "/livox/points";
const std::string kPrefix = "Bag conversion failed: ";

std_msgs::String text(const std::string& s) {
  std_msgs::String m;
  m.data = s;
  return m;
}

// A recording with everything the converter meets in the field, in record-time order:
// frames with odd points, an empty frame, foreign types on the source topic and messages of
// two types already on the target topic (one of them latched), and other topics.
struct MixedRecording {
  CustomMsg odd_frame;                        // NaN, zero and reflectivity 0 / 255 points
  CustomMsg empty_frame;                      // no points
  CustomMsg big_frame;                        // 1000 fixed-seed points
  std::vector<StoredMessage> written_copies;  // non-Livox messages, as stored in the input

  void write(const std::string& path) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    odd_frame = drone_test::make_livox_frame(
        10, ros::Time(500, 250000000),
        {{1.5f, -2.25f, 3.0f, 255}, {nan, nan, nan, 7}, {0.0f, 0.0f, 0.0f, 0}});
    empty_frame = drone_test::make_livox_frame(11, ros::Time(501, 0), {});
    big_frame = cloudconv_test::random_frame(12, ros::Time(502, 999999999), 1000, 7);

    sensor_msgs::PointCloud2 old_cloud;  // a cloud of another layout, recorded earlier
    old_cloud.header.frame_id = "old_frame";
    old_cloud.height = 1;
    old_cloud.width = 2;
    old_cloud.data = {1, 2, 3, 4, 5, 6, 7, 8};
    sensor_msgs::Imu imu;
    imu.header.frame_id = "imu_link";
    imu.linear_acceleration.z = 9.81;

    // Each type gets a connection of its own, as a recorder files them.
    rosbag::Bag bag(path, rosbag::bagmode::Write);
    const auto put = [&bag](const std::string& topic, const ros::Time& t, const RawMessage& m,
                            const std::string& callerid, bool latching) {
      bag.write(
          topic, t, m,
          drone_test::connection_header(m, topic, callerid, {{"latching", latching ? "1" : "0"}}));
    };
    const RawMessage on_target = raw_of(text("already on the target"));
    put(kSource, ros::Time(1, 0), raw_of(odd_frame), "/livox_driver", false);
    put("/imu", ros::Time(1, 50000000), raw_of(imu), "/imu_driver", false);
    put(kTarget, ros::Time(1, 100000000), on_target, "/old_node", true);
    put(kSource, ros::Time(1, 200000000), raw_of(text("not a frame")), "/chatter", false);
    put(kSource, ros::Time(1, 300000000), raw_of(empty_frame), "/livox_driver", false);
    put(kTarget, ros::Time(1, 400000000), raw_of(old_cloud), "/old_cloud", false);
    put(kSource, ros::Time(1, 500000000), raw_of(big_frame), "/livox_driver", false);
    put("/status", ros::Time(1, 600000000), raw_of(text("done")), "/monitor", true);
    put(kTarget, ros::Time(1, 700000000), on_target, "/old_node", true);
    bag.close();

    for (const StoredMessage& m : read_all(path)) {
      if (m.connection.at("md5sum") != ros::message_traits::MD5Sum<CustomMsg>::value()) {
        written_copies.push_back(m);
      }
    }
  }
};

void expect_cloud(const StoredMessage& stored, const CustomMsg& frame) {
  SCOPED_TRACE("cloud of frame " + std::to_string(frame.header.seq));
  EXPECT_EQ(stored.topic, kTarget);
  EXPECT_EQ(stored.connection.at("type"), "sensor_msgs/PointCloud2");
  EXPECT_EQ(stored.connection.at("md5sum"),
            ros::message_traits::MD5Sum<sensor_msgs::PointCloud2>::value());
  sensor_msgs::PointCloud2 cloud;
  std::vector<uint8_t> bytes = stored.bytes;
  ros::serialization::IStream in(bytes.data(), static_cast<uint32_t>(bytes.size()));
  ros::serialization::deserialize(in, cloud);
  EXPECT_EQ(in.getLength(), 0u) << "trailing bytes after the cloud";
  EXPECT_EQ(cloud.header.seq, frame.header.seq);
  EXPECT_EQ(cloud.header.stamp, frame.header.stamp);
  EXPECT_EQ(cloud.header.frame_id, "lidar0::lidar_link");
  EXPECT_EQ(cloud.height, 1u);
  EXPECT_EQ(cloud.width, frame.points.size());
  ASSERT_EQ(cloud.fields.size(), 4u);
  const char* names[4] = {"x", "y", "z", "intensity"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(cloud.fields[i].name, names[i]);
    EXPECT_EQ(cloud.fields[i].offset, 4 * i);
    EXPECT_EQ(cloud.fields[i].datatype, sensor_msgs::PointField::FLOAT32);
    EXPECT_EQ(cloud.fields[i].count, 1u);
  }
  EXPECT_FALSE(cloud.is_bigendian);
  EXPECT_EQ(cloud.point_step, 16u);
  EXPECT_EQ(cloud.row_step, 16u * frame.points.size());
  EXPECT_TRUE(cloud.is_dense);
  EXPECT_EQ(cloud.data, cloudconv_test::expected_cloud_data(frame));
}

TEST(Converter, ConvertsFramesAndKeepsEveryOtherMessageUnderItsOwnConnection) {
  TempDir dir;
  MixedRecording rec;
  rec.write(dir.file("in.bag"));

  const ConversionResult r =
      LivoxToPc2Converter::convert(dir.file("in.bag"), dir.file("out.bag"), kSource, kTarget);
  ASSERT_TRUE(r.success) << r.error;
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.input_bag, dir.file("in.bag"));
  EXPECT_EQ(r.output_bag, dir.file("out.bag"));
  EXPECT_EQ(r.source_topic, kSource);
  EXPECT_EQ(r.target_topic, kTarget);
  EXPECT_EQ(r.total_messages, 9);
  EXPECT_EQ(r.converted_messages, 3);
  EXPECT_EQ(r.copied_messages, 6);
  EXPECT_EQ(r.total_points, 1003);

  const std::vector<StoredMessage> out = read_all(dir.file("out.bag"));
  ASSERT_EQ(out.size(), 9u);
  // Record times of the input, in order; clouds carry the sensor stamp only in their header.
  const std::vector<ros::Time> times = {
      ros::Time(1, 0),         ros::Time(1, 50000000),  ros::Time(1, 100000000),
      ros::Time(1, 200000000), ros::Time(1, 300000000), ros::Time(1, 400000000),
      ros::Time(1, 500000000), ros::Time(1, 600000000), ros::Time(1, 700000000)};
  for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i].time, times[i]) << "message " << i;

  expect_cloud(out[0], rec.odd_frame);
  expect_cloud(out[4], rec.empty_frame);
  expect_cloud(out[6], rec.big_frame);
  // The six copies are the input's messages byte for byte, under their own connection headers
  // (type, definition, caller id, latching) on their own topics.
  const std::vector<StoredMessage> copies = {out[1], out[2], out[3], out[5], out[7], out[8]};
  EXPECT_EQ(copies, rec.written_copies);

  // The target topic holds three connections: the two it had and one for all the clouds.
  std::set<std::string> target_connections;
  for (const auto& c : drone_test::connections_of(dir.file("out.bag"))) {
    if (c.at("topic") == kTarget) {
      target_connections.insert(c.at("type") + " " +
                                (c.count("callerid") ? c.at("callerid") : std::string("-")));
    }
  }
  EXPECT_EQ(target_connections, (std::set<std::string>{"std_msgs/String /old_node",
                                                       "sensor_msgs/PointCloud2 /old_cloud",
                                                       "sensor_msgs/PointCloud2 -"}));
}

// The Python rosbag reader knows nothing of this code: it decodes every message with the
// definition its connection records, so a message filed under another type's connection shows.
const char kIndependentReader[] = R"PY(
import sys, struct, rosbag
with rosbag.Bag(sys.argv[1]) as bag:
    info = bag.get_type_and_topic_info()
    for topic in sorted(info.topics):
        t = info.topics[topic]
        print('topic %s %s %d' % (topic, t.msg_type, t.message_count))
    for topic, msg, t in bag.read_messages():
        line = '%s %d.%09d %s' % (topic, t.secs, t.nsecs, msg._type)
        if msg._type == 'sensor_msgs/PointCloud2':
            fields = ','.join('%s:%d:%d:%d' % (f.name, f.offset, f.datatype, f.count)
                              for f in msg.fields)
            intensity = [struct.unpack_from('<f', msg.data, 16 * i + 12)[0]
                         for i in range(min(msg.width, 3))] if msg.point_step == 16 else []
            line += ' %s %d %d %d %d %d %s %s %d %s %s' % (
                msg.header.frame_id, msg.header.seq, msg.height, msg.width, msg.point_step,
                msg.row_step, msg.is_dense, msg.is_bigendian, len(msg.data), fields,
                ','.join('%g' % v for v in intensity))
        elif msg._type == 'std_msgs/String':
            line += ' ' + msg.data
        print(line)
)PY";

TEST(Converter, IndependentReaderDecodesEveryMessageAsItsOwnType) {
  TempDir dir;
  MixedRecording rec;
  rec.write(dir.file("in.bag"));
  const ConversionResult r =
      LivoxToPc2Converter::convert(dir.file("in.bag"), dir.file("out.bag"), kSource, kTarget);
  ASSERT_TRUE(r.success) << r.error;

  const drone_test::ProcessResult py =
      drone_test::run_python(kIndependentReader, {dir.file("out.bag")});
  ASSERT_EQ(py.exit_code, 0) << py.err;
  const std::string fields = "x:0:7:1,y:4:7:1,z:8:7:1,intensity:12:7:1";
  const std::vector<std::string> expected = {
      "topic /imu sensor_msgs/Imu 1",
      "topic /livox/lidar std_msgs/String 1",
      // The reader names one type per topic; the counts are what matter here.
      "topic /livox/points sensor_msgs/PointCloud2 6",
      "topic /status std_msgs/String 1",
      "/livox/points 1.000000000 sensor_msgs/PointCloud2 lidar0::lidar_link 10 1 3 16 48 True "
      "False 48 " +
          fields + " 255,7,0",
      "/imu 1.050000000 sensor_msgs/Imu",
      "/livox/points 1.100000000 std_msgs/String already on the target",
      "/livox/lidar 1.200000000 std_msgs/String not a frame",
      "/livox/points 1.300000000 sensor_msgs/PointCloud2 lidar0::lidar_link 11 1 0 16 0 True "
      "False 0 " +
          fields + " ",
      "/livox/points 1.400000000 sensor_msgs/PointCloud2 old_frame 0 1 2 0 0 False False 8  ",
      "/livox/points 1.500000000 sensor_msgs/PointCloud2 lidar0::lidar_link 12 1 1000 16 16000 "
      "True False 16000 " +
          fields + " " +
          [&] {
            std::ostringstream s;
            for (size_t i = 0; i < 3; ++i) {
              s << (i ? "," : "") << static_cast<int>(rec.big_frame.points[i].reflectivity);
            }
            return s.str();
          }(),
      "/status 1.600000000 std_msgs/String done",
      "/livox/points 1.700000000 std_msgs/String already on the target",
  };
  EXPECT_EQ(drone_test::split_lines(py.out), expected);
}

// The other way round: frames written by the Python rosbag writer from the message definition
// alone, converted here, and every point checked by Python against the frames it wrote.
const char kIndependentRoundTrip[] = R"PY(
import sys, math, random, struct, rosbag, rospy, genpy.dynamic
classes = genpy.dynamic.generate_dynamic('livox_ros_driver2/CustomMsg', sys.argv[3])
Frame, Point = classes['livox_ros_driver2/CustomMsg'], classes['livox_ros_driver2/CustomPoint']
rng = random.Random(5)
frames = []
if sys.argv[1] == 'write':
    with rosbag.Bag(sys.argv[2], 'w') as bag:
        for f in range(4):
            msg = Frame()
            msg.header.seq = 100 + f
            msg.header.stamp = rospy.Time(40, f)
            msg.rsvd = [0, 0, 0]
            msg.points = [Point(i, rng.uniform(-9, 9), rng.uniform(-9, 9), rng.uniform(-9, 9),
                                rng.randrange(256), 0, 0) for i in range(f * 50)]
            msg.points.append(Point(0, float('nan'), 0.0, float('inf'), 255, 0, 0))
            bag.write('/livox/lidar', msg, rospy.Time(50, f))
    sys.exit(0)
with rosbag.Bag(sys.argv[2]) as src, rosbag.Bag(sys.argv[4]) as out:
    frames = [m for _, m, _ in src.read_messages()]
    clouds = [(m, t) for _, m, t in out.read_messages(topics=['/livox/points'])]
    assert len(frames) == len(clouds) == 4
    points = 0
    for f, (c, t) in zip(frames, clouds):
        assert t == rospy.Time(50, f.header.seq - 100) and c.header.stamp == f.header.stamp
        assert c.header.seq == f.header.seq and c.width == len(f.points)
        for i, p in enumerate(f.points):
            got = struct.unpack_from('<4f', c.data, 16 * i)
            want = struct.unpack('<4f', struct.pack('<4f', p.x, p.y, p.z, p.reflectivity))
            assert struct.pack('<4f', *got) == struct.pack('<4f', *want), (i, got, want)
            points += 1
    print('checked %d points' % points)
)PY";

TEST(Converter, FramesWrittenByAnotherWriterConvertPointForPoint) {
  TempDir dir;
  const std::string definition = ros::message_traits::Definition<CustomMsg>::value();
  const auto wrote =
      drone_test::run_python(kIndependentRoundTrip, {"write", dir.file("in.bag"), definition});
  ASSERT_EQ(wrote.exit_code, 0) << wrote.err;
  const ConversionResult r =
      LivoxToPc2Converter::convert(dir.file("in.bag"), dir.file("out.bag"), kSource, kTarget);
  ASSERT_TRUE(r.success) << r.error;
  EXPECT_EQ(r.converted_messages, 4);
  EXPECT_EQ(r.total_points, 0 + 50 + 100 + 150 + 4);
  const auto checked = drone_test::run_python(
      kIndependentRoundTrip, {"check", dir.file("in.bag"), definition, dir.file("out.bag")});
  EXPECT_EQ(checked.exit_code, 0) << checked.err;
  EXPECT_EQ(checked.out, "checked 304 points\n");
}

// The progress callback gets the share of the input read, never going back, ending with 1.
TEST(Converter, ReportsTheShareOfTheInputRead) {
  TempDir dir;
  {
    drone_test::BagBuilder bag(dir.file("in.bag"), rosbag::compression::Uncompressed, 256);
    for (uint32_t i = 0; i < 20; ++i) bag.frame(ros::Time(100 + i, 0), {{1, 2, 3}, {4, 5, 6}});
  }
  std::vector<double> shares;
  const ConversionResult r =
      LivoxToPc2Converter::convert(dir.file("in.bag"), dir.file("out.bag"), kSource, kTarget,
                                   [&shares](double share) { shares.push_back(share); });
  ASSERT_TRUE(r.success) << r.error;
  ASSERT_GE(shares.size(), 10u);  // one chunk a frame or two
  EXPECT_TRUE(std::is_sorted(shares.begin(), shares.end()));
  EXPECT_GT(shares.front(), 0.0);
  EXPECT_LT(shares.front(), 0.5);
  EXPECT_EQ(shares.back(), 1.0);
}

// The clouds are those the converter has always written: the serialised clouds of this
// recording (stamps apart from timebases, NaN and infinite points, an empty frame, 1,000
// points), as the converter wrote them before clouds could carry other fields.
TEST(Converter, CloudsAreThoseOfEarlierReleases) {
  TempDir dir;
  cloudconv_test::write_timing_recording(dir.file("in.bag"));
  const ConversionResult r =
      LivoxToPc2Converter::convert(dir.file("in.bag"), dir.file("out.bag"), kSource, kTarget);
  ASSERT_TRUE(r.success) << r.error;
  std::vector<uint8_t> clouds;
  for (const StoredMessage& m : read_all(dir.file("out.bag"))) {
    if (m.topic == kTarget) clouds.insert(clouds.end(), m.bytes.begin(), m.bytes.end());
  }
  EXPECT_EQ(clouds.size(), 17076u);
  EXPECT_EQ(drone_test::crc32_of(clouds), 1173194062u);
}

TEST(Converter, EmptyBagGivesAnEmptyBag) {
  TempDir dir;
  { rosbag::Bag bag(dir.file("in.bag"), rosbag::bagmode::Write); }
  const ConversionResult r =
      LivoxToPc2Converter::convert(dir.file("in.bag"), dir.file("out.bag"), kSource, kTarget);
  ASSERT_TRUE(r.success) << r.error;
  EXPECT_EQ(r.total_messages + r.converted_messages + r.copied_messages + r.total_points, 0);
  EXPECT_TRUE(read_all(dir.file("out.bag")).empty());
}

TEST(Converter, TopicsAreComparedByteForByte) {
  TempDir dir;
  {
    rosbag::Bag bag(dir.file("in.bag"), rosbag::bagmode::Write);
    bag.write("livox/lidar", ros::Time(2, 0),
              cloudconv_test::random_frame(1, ros::Time(2, 0), 5, 1));
  }
  const ConversionResult r =
      LivoxToPc2Converter::convert(dir.file("in.bag"), dir.file("out.bag"), kSource, kTarget);
  ASSERT_TRUE(r.success) << r.error;
  EXPECT_EQ(r.converted_messages, 0);
  EXPECT_EQ(r.copied_messages, 1);
  EXPECT_EQ(read_all(dir.file("out.bag")), read_all(dir.file("in.bag")));
}

// The summary of a bag as the one-pass reader reads it.
bag_format::ReadSummary summary_of(const std::string& path) {
  bag_format::BagReader reader(path);
  return reader.summary();
}

// The listing lines of the messages that are not clouds of the conversion (connection key
// "/livox/points|sensor_msgs/PointCloud2|<md5>||"), and the count of those that are.
std::vector<std::string> without_clouds(const std::vector<std::string>& lines, size_t* clouds) {
  const std::string cloud_key = kTarget + "|sensor_msgs/PointCloud2|" +
                                ros::message_traits::MD5Sum<sensor_msgs::PointCloud2>::value() +
                                "|| ";
  std::vector<std::string> rest;
  *clouds = 0;
  for (const std::string& line : lines) {
    if (line.rfind(cloud_key, 0) == 0) {
      ++*clouds;
    } else {
      rest.push_back(line);
    }
  }
  return rest;
}

// The listing lines of the messages that are not Livox frames on the source topic.
std::vector<std::string> without_frames(const std::vector<std::string>& lines) {
  const std::string frame_key =
      kSource + "|livox_ros_driver2/CustomMsg|" + ros::message_traits::MD5Sum<CustomMsg>::value();
  std::vector<std::string> rest;
  for (const std::string& line : lines) {
    if (line.rfind(frame_key, 0) != 0) rest.push_back(line);
  }
  return rest;
}

struct ReadBackCase {
  std::string name;
  // Writes the input at the path given, or empty for a vendored bag (`name` under bags/).
  std::function<void(const std::string&)> write;
  int64_t frames;  // Livox frames the input holds
};

std::vector<ReadBackCase> read_back_cases() {
  std::vector<ReadBackCase> cases;
  for (const char* fixture :
       {"example.bag", "example-lz4.bag", "example-bz2.bag", "example-unsorted-chunks.bag",
        "no-messages.bag", "embag-test.bag", "embag-test_2.bag", "embag-array_test.bag",
        "fake_sensors_sample.bag"}) {
    cases.push_back({fixture, nullptr, 0});
  }
  // Several connections on the source and the target topic, frames among them.
  cases.push_back({"several connections per topic",
                   [](const std::string& path) { MixedRecording().write(path); }, 3});
  for (const auto compression : {rosbag::compression::BZ2, rosbag::compression::LZ4}) {
    cases.push_back({compression == rosbag::compression::BZ2 ? "bz2 chunks" : "lz4 chunks",
                     [compression](const std::string& path) {
                       drone_test::BagBuilder bag(path, compression, 4096);
                       for (uint32_t i = 0; i < 40; ++i) {
                         bag.write(kSource, ros::Time(10 + i, 0),
                                   cloudconv_test::random_frame(i, ros::Time(10 + i, 0), 100, i),
                                   "/drv");
                         bag.write("/status", ros::Time(10 + i, 500),
                                   text("status " + std::to_string(i)), i % 2 ? "/a" : "/b");
                       }
                     },
                     40});
  }
  // Chunks whose time ranges overlap and go back: the output is in record-time order.
  cases.push_back({"unsorted chunks",
                   [](const std::string& path) {
                     drone_test::BagBuilder bag(path, rosbag::compression::Uncompressed, 300);
                     for (uint32_t i = 0; i < 30; ++i) {
                       const ros::Time t(50 + (i % 3 == 0 ? 0 : i), i);
                       bag.write(kSource, t, cloudconv_test::random_frame(i, t, 9, i), "/drv");
                       bag.write("/status", t, text(std::string(i * 7, 'z')), "/mon");
                     }
                   },
                   30});
  // A recorded map larger than the reader holds, in a plain chunk of its own: copied through
  // in pieces between the frames.
  cases.push_back({"a message larger than a read",
                   [](const std::string& path) {
                     drone_test::BagBuilder bag(path);
                     std_msgs::String map;
                     map.data.assign(bag_format::kWholeMessageBytes + 3, 'm');
                     for (uint32_t i = 0; i < 4; ++i) {
                       const ros::Time t(60 + i, 0);
                       bag.write(kSource, t, cloudconv_test::random_frame(i, t, 9, i), "/drv");
                       if (i == 1) bag.write("/map", t + ros::Duration(0.5), map, "/mapper");
                     }
                   },
                   4});
  cases.push_back(
      {"empty", [](const std::string& path) { rosbag::Bag(path, rosbag::bagmode::Write); }, 0});
  cases.push_back({"one message",
                   [](const std::string& path) {
                     rosbag::Bag bag(path, rosbag::bagmode::Write);
                     bag.write("/status", ros::Time(3, 4), text("only"));
                   },
                   0});
  cases.push_back({"one frame",
                   [](const std::string& path) {
                     rosbag::Bag bag(path, rosbag::bagmode::Write);
                     bag.write(kSource, ros::Time(3, 4),
                               cloudconv_test::random_frame(1, ros::Time(3, 0), 20, 9));
                   },
                   1});
  return cases;
}

// Recordings of other tools and generated ones (compressed chunks, several connections on one
// topic, unsorted chunks, empty, one message): the output is a complete, indexed bag that the
// bag library and Python's rosbag read alike, holding every copied message unchanged on its
// connection in its order, and a cloud for every frame.
TEST(Converter, OutputReadsAlikeInTheBagLibraryAndInPython) {
  for (const ReadBackCase& c : read_back_cases()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string in = dir.file("in.bag");
    if (c.write) {
      c.write(in);
    } else {
      in = drone_test::fixture_path("bags/" + c.name);
    }
    const ConversionResult r =
        LivoxToPc2Converter::convert(in, dir.file("out.bag"), kSource, kTarget);
    ASSERT_TRUE(r.success) << r.error;
    EXPECT_TRUE(r.read.recording_closed);
    EXPECT_TRUE(r.read.index_complete);
    EXPECT_EQ(r.converted_messages, c.frames);
    EXPECT_EQ(r.copied_messages + r.converted_messages, r.total_messages);

    const std::vector<std::string> out = drone_test::message_listing(dir.file("out.bag"));
    EXPECT_EQ(drone_test::python_message_listing(dir.file("out.bag")), out);
    EXPECT_EQ(static_cast<int64_t>(out.size()), r.total_messages);
    size_t clouds = 0;
    EXPECT_EQ(without_clouds(out, &clouds), without_frames(drone_test::message_listing(in)));
    EXPECT_EQ(static_cast<int64_t>(clouds), c.frames);
    const bag_format::ReadSummary written = summary_of(dir.file("out.bag"));
    EXPECT_TRUE(written.index_complete && written.recording_closed);
    EXPECT_EQ(written.unreadable_bytes, 0u);
  }
}

// Inputs that Python's rosbag reads in time order, although their messages are not stored so:
// two recordings merged one after the other (each with its own lidar and IMU connections), and
// chunks too large to hold whose frames were stored in runs, the latest first (plain and lz4).
// The converted bag reads in time order too, with every message.
TEST(Converter, OutputReadsInTimeOrderWhereTheInputDoes) {
  struct Case {
    const char* name;
    rosbag::compression::CompressionType compression;
    uint32_t chunk_threshold;
    bool merged;  // else runs stored latest first
  };
  const Case cases[] = {{"merged", rosbag::compression::Uncompressed, 16 * 1024, true},
                        {"runs, plain", rosbag::compression::Uncompressed, 64u << 20, false},
                        {"runs, lz4", rosbag::compression::LZ4, 64u << 20, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    {
      drone_test::BagBuilder b(dir.file("in.bag"), c.compression, c.chunk_threshold);
      sensor_msgs::Imu imu;
      for (uint32_t part = 0; part < (c.merged ? 2 : 4); ++part) {
        // Merged: each recording covers the whole time span. Runs: run 3 - part.
        const uint32_t run = c.merged ? 0 : 3 - part;
        const std::string callerid = "/rec" + std::to_string(c.merged ? part : 0);
        for (uint32_t i = 0; i < 50; ++i) {
          const ros::Time t(10 + run * 5 + i / 10, (i % 10) * 100000000u + (c.merged ? part : 0));
          b.write(kSource, t, cloudconv_test::random_frame(i, t, c.merged ? 2000 : 6000, part),
                  callerid);
          imu.header.stamp = t;
          b.write("/livox/imu", t, imu, callerid);
        }
      }
    }
    const drone_test::PythonOrder in = drone_test::python_order(dir.file("in.bag"));
    ASSERT_EQ(in.steps_back, 0u) << "the input itself does not read in time order";
    const ConversionResult r =
        LivoxToPc2Converter::convert(dir.file("in.bag"), dir.file("out.bag"), kSource, kTarget);
    ASSERT_TRUE(r.success) << r.error;
    const drone_test::PythonOrder out = drone_test::python_order(dir.file("out.bag"));
    EXPECT_EQ(out.messages, in.messages);
    EXPECT_EQ(out.steps_back, 0u);
    EXPECT_EQ(drone_test::python_message_listing(dir.file("out.bag")),
              drone_test::message_listing(dir.file("out.bag")));
  }
}

// A connection id that a recording defines again for another topic and type (a recorder that
// was not closed, and a later chunk reusing the id) is refused: its messages would be copied
// under the first definition's type.
TEST(Converter, ConnectionDefinedTwiceIsRefused) {
  TempDir dir;
  {
    drone_test::BagBuilder bag(dir.file("in.bag"), rosbag::compression::Uncompressed, 256);
    for (uint32_t i = 0; i < 3; ++i) {
      bag.write(kSource, ros::Time(5 + i, 0),
                cloudconv_test::random_frame(i, ros::Time(5 + i, 0), 9, i));
    }
    for (uint32_t i = 0; i < 3; ++i) bag.write("/status", ros::Time(9 + i, 0), text("later"));
  }
  drone_test::write_file(dir.file("twice.bag"),
                         drone_test::as_unclosed_recording(drone_test::with_connection_renumbered(
                             drone_test::read_file(dir.file("in.bag")), 1, 0)));
  const ConversionResult r =
      LivoxToPc2Converter::convert(dir.file("twice.bag"), dir.file("out.bag"), kSource, kTarget);
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.error, kPrefix + std::string("connection 0 is defined for topic ") + kSource +
                         " (livox_ros_driver2/CustomMsg) and again for topic /status "
                         "(std_msgs/String); its messages cannot be told apart");
  EXPECT_FALSE(fs::exists(dir.file("out.bag")));
}

// Connections with identical headers on one topic (embag-test_2.bag has two) are one in the
// output, as the bag library files messages by their connection header; every other connection
// is there with its header.
TEST(Converter, KeepsTheConnectionsOfRecordingsOfOtherTools) {
  for (const char* fixture : {"example.bag", "example-lz4.bag", "example-unsorted-chunks.bag",
                              "embag-test.bag", "embag-test_2.bag", "fake_sensors_sample.bag"}) {
    SCOPED_TRACE(fixture);
    TempDir dir;
    const std::string in = drone_test::fixture_path(std::string("bags/") + fixture);
    const ConversionResult r =
        LivoxToPc2Converter::convert(in, dir.file("out.bag"), kSource, kTarget);
    ASSERT_TRUE(r.success) << r.error;
    using ConnectionSet = std::set<std::map<std::string, std::string>>;
    const auto in_connections = drone_test::connections_of(in);
    const auto out_connections = drone_test::connections_of(dir.file("out.bag"));
    EXPECT_EQ(ConnectionSet(in_connections.begin(), in_connections.end()),
              ConnectionSet(out_connections.begin(), out_connections.end()));
  }
}

// Every file in a directory with its contents.
std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string path = entry.path().string();
    files[path] = entry.is_symlink()        ? "-> " + fs::read_symlink(entry.path()).string()
                  : entry.is_regular_file() ? drone_test::read_file(path)
                                            : std::string("dir");
  }
  return files;
}

// Runs in a directory for the life of the object.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& dir) : saved_(fs::current_path()) {
    fs::current_path(dir);
  }
  ~WorkingDirectory() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

struct SameFileCase {
  const char* name;
  std::string input;   // relative to the directory
  std::string output;  // relative to the directory, or a link made by `prepare`
  void (*prepare)(const std::string& dir);
};

TEST(Converter, RefusesAnOutputThatIsTheInputFile) {
  const std::vector<SameFileCase> cases = {
      {"same path", "a.bag", "a.bag", nullptr},
      {"dot segment", "a.bag", "./a.bag", nullptr},
      {"dot-dot segment", "a.bag", "sub/../a.bag", nullptr},
      {"symbolic link", "a.bag", "link.bag",
       [](const std::string& d) { fs::create_symlink(d + "/a.bag", d + "/link.bag"); }},
      {"hard link", "a.bag", "hard.bag",
       [](const std::string& d) { fs::create_hard_link(d + "/a.bag", d + "/hard.bag"); }},
      {"input through a link", "link.bag", "a.bag",
       [](const std::string& d) { fs::create_symlink("a.bag", d + "/link.bag"); }},
  };
  for (const SameFileCase& c : cases) {
    for (const bool relative : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (relative ? ", relative paths" : ", absolute paths"));
      TempDir dir;
      MixedRecording rec;
      rec.write(dir.file("a.bag"));
      fs::create_directory(dir.file("sub"));
      if (c.prepare) c.prepare(dir.path());
      const auto before = snapshot(dir.path());

      const std::string in = relative ? c.input : dir.file(c.input);
      const std::string out = relative ? c.output : dir.file(c.output);
      ConversionResult r;
      {
        WorkingDirectory cwd(dir.path());
        r = LivoxToPc2Converter::convert(in, out, kSource, kTarget);
      }
      EXPECT_FALSE(r.success);
      EXPECT_EQ(r.error, kPrefix + "output bag " + out + " is the same file as input bag " + in +
                             "; refusing to overwrite the input");
      EXPECT_EQ(r.total_messages, 0);
      EXPECT_EQ(snapshot(dir.path()), before) << "the input or its directory changed";
    }
  }
}

TEST(Converter, AnIdenticalCopyIsNotTheSameFile) {
  TempDir dir;
  MixedRecording rec;
  rec.write(dir.file("a.bag"));
  fs::copy_file(dir.file("a.bag"), dir.file("copy.bag"));
  const ConversionResult r =
      LivoxToPc2Converter::convert(dir.file("a.bag"), dir.file("copy.bag"), kSource, kTarget);
  ASSERT_TRUE(r.success) << r.error;
  EXPECT_EQ(r.converted_messages, 3);
}

// A Livox frame whose stored bytes are damaged in the given way.
RawMessage damaged_frame(const std::string& how) {
  RawMessage raw = raw_of(cloudconv_test::random_frame(3, ros::Time(9, 0), 4, 3));
  const size_t count_at = raw.bytes.size() - 4 - 4 * 19;  // the points array's length
  if (how == "cut short") {
    raw.bytes.resize(raw.bytes.size() - 5);
  } else if (how == "huge count") {
    const uint32_t huge = 0x7fffffff;
    std::memcpy(raw.bytes.data() + count_at, &huge, 4);
  } else if (how == "header only") {
    raw.bytes.resize(10);
  }
  return raw;
}

TEST(Converter, DamagedLivoxFrameFailsAndKeepsWhatWasWritten) {
  for (const std::string how : {"cut short", "huge count", "header only"}) {
    SCOPED_TRACE(how);
    TempDir dir;
    {
      rosbag::Bag bag(dir.file("in.bag"), rosbag::bagmode::Write);
      bag.write("/status", ros::Time(8, 0), text("before"));
      bag.write(kSource, ros::Time(8, 500), cloudconv_test::random_frame(1, ros::Time(8, 0), 3, 2));
      bag.write(kSource, ros::Time(9, 0), damaged_frame(how));
      bag.write("/status", ros::Time(10, 0), text("after"));
    }
    const ConversionResult r =
        LivoxToPc2Converter::convert(dir.file("in.bag"), dir.file("out.bag"), kSource, kTarget);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.error.rfind(kPrefix + "Livox frame on /livox/lidar recorded at 9.000000000 "
                                      "cannot be decoded: ",
                            0),
              0u)
        << r.error;
    EXPECT_EQ(r.total_messages, 3);
    EXPECT_EQ(r.converted_messages, 1);
    EXPECT_EQ(r.copied_messages, 1);
    EXPECT_EQ(r.total_points, 3);
    // A failed conversion leaves no output that could pass for a whole one.
    EXPECT_EQ(drone_test::dir_entries(dir.path()), std::vector<std::string>{"in.bag"});
  }
}

// A record that states more data than its chunk holds is refused before anything is read from
// it, however little the overstatement: the bag library would copy the bytes after the chunk's
// buffer into the output.
TEST(Converter, FrameRecordThatOverstatesItsLengthFailsBeforeAnyOutput) {
  TempDir dir;
  {
    rosbag::Bag bag(dir.file("whole.bag"), rosbag::bagmode::Write);
    bag.write("/status", ros::Time(7, 0), text("before"));
    bag.write(kSource, ros::Time(8, 0), cloudconv_test::random_frame(1, ros::Time(8, 0), 3, 2));
    bag.write(kSource, ros::Time(9, 0), cloudconv_test::random_frame(2, ros::Time(9, 0), 5, 4));
  }
  const std::string whole = drone_test::read_file(dir.file("whole.bag"));
  const std::vector<size_t> lengths = drone_test::message_length_fields(whole);
  ASSERT_EQ(lengths.size(), 3u);
  const uint32_t stated = drone_test::get_u32(whole, lengths.back());
  for (const uint32_t extra : {1u, 4096u, 0x10000000u}) {
    SCOPED_TRACE(extra);
    drone_test::write_file(dir.file("damaged.bag"),
                           drone_test::with_last_message_overstated(whole, extra));
    const ConversionResult r = LivoxToPc2Converter::convert(dir.file("damaged.bag"),
                                                            dir.file("out.bag"), kSource, kTarget);
    EXPECT_FALSE(r.success);
    const std::string tail =
        " states " + std::to_string(stated + extra) + " data bytes, past the chunk's end";
    EXPECT_EQ(r.error.rfind(kPrefix + "message record at offset ", 0), 0u) << r.error;
    ASSERT_GE(r.error.size(), tail.size());
    EXPECT_EQ(r.error.substr(r.error.size() - tail.size()), tail);
    EXPECT_EQ(r.total_messages + r.converted_messages + r.copied_messages + r.total_points, 0);
    EXPECT_FALSE(fs::exists(dir.file("out.bag")));
  }
}

TEST(Converter, UnreadableInputOrOutputFails) {
  TempDir dir;
  MixedRecording rec;
  rec.write(dir.file("good.bag"));
  const std::string good = drone_test::read_file(dir.file("good.bag"));
  drone_test::write_file(dir.file("garbage.bag"), std::string(4096, 'x'));

  struct Case {
    const char* name;
    std::string input;
    std::string output;
  };
  const std::vector<Case> cases = {
      {"missing input", dir.file("missing.bag"), dir.file("out1.bag")},
      {"empty input path", "", dir.file("out2.bag")},
      {"zero-length file", drone_test::fixture_path("bags/empty-file.bag"), dir.file("out3.bag")},
      {"not a bag", dir.file("garbage.bag"), dir.file("out4.bag")},
      {"missing output directory", dir.file("good.bag"), dir.file("no/such/dir/out.bag")},
      {"output is a directory", dir.file("good.bag"), dir.path()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ConversionResult r = LivoxToPc2Converter::convert(c.input, c.output, kSource, kTarget);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.error.rfind(kPrefix, 0), 0u) << r.error;
    EXPECT_GT(r.error.size(), kPrefix.size());
    EXPECT_EQ(r.input_bag, c.input);
    EXPECT_EQ(r.output_bag, c.output);
    EXPECT_EQ(r.total_messages + r.converted_messages + r.copied_messages + r.total_points, 0);
    // The input is opened first and nothing is written when it fails.
    if (c.output != dir.path()) {
      EXPECT_FALSE(fs::exists(c.output));
    }
  }
  EXPECT_EQ(drone_test::read_file(dir.file("good.bag")), good);
}

// True when each connection's lines in `part` are the first ones of its lines in `whole` (both
// listings grouped by connection).
bool is_prefix_per_connection(const std::vector<std::string>& part,
                              const std::vector<std::string>& whole) {
  const auto key = [](const std::string& line) { return line.substr(0, line.find(' ')); };
  size_t w = 0;
  for (const std::string& line : part) {
    while (w < whole.size() && key(whole[w]) != key(line)) ++w;
    if (w == whole.size() || whole[w] != line) return false;
    ++w;
  }
  return true;
}

// A recording that was not closed (no index), one whose index leaves a chunk out, one whose
// index records are damaged so that they do not read, and one cut off inside its last chunk are
// read from their chunks and converted into a complete, indexed bag. Only a cut loses messages:
// those after the last whole record of the cut chunk.
TEST(Converter, RepairsRecordingsThatWereNotClosedOrWhoseIndexIsIncomplete) {
  TempDir dir;
  {
    drone_test::BagBuilder bag(dir.file("whole.bag"), rosbag::compression::Uncompressed, 2048);
    for (uint32_t i = 0; i < 12; ++i) {
      bag.frame(ros::Time(100 + i, 0), {{1, 2, 3}, {4, 5, 6}, {7, 8, static_cast<float>(i)}});
      bag.text("status " + std::to_string(i), "/status");
    }
  }
  const ConversionResult whole = LivoxToPc2Converter::convert(
      dir.file("whole.bag"), dir.file("whole_out.bag"), kSource, kTarget);
  ASSERT_TRUE(whole.success) << whole.error;
  ASSERT_EQ(whole.converted_messages, 12);
  const std::vector<std::string> expected = drone_test::message_listing(dir.file("whole_out.bag"));
  const std::string bytes = drone_test::read_file(dir.file("whole.bag"));
  const std::vector<drone_test::BagRecord> records = drone_test::bag_records(bytes);
  const drone_test::BagRecord last_chunk = *std::find_if(
      records.rbegin(), records.rend(),
      [](const drone_test::BagRecord& rec) { return rec.op == drone_test::kOpChunk; });

  enum class Lost { kNothing, kIndex, kMessages };
  struct Case {
    std::string name;
    std::string bytes;
    bool recording_closed;
    bool index_complete;
    Lost lost;  // what the unreadable bytes held
  };
  const std::string unclosed = drone_test::as_unclosed_recording(bytes);
  std::vector<Case> cases = {
      {"not closed", unclosed, false, false, Lost::kNothing},
      {"index leaves a chunk out", drone_test::without_chunk_info(bytes, 1), true, false,
       Lost::kNothing},
      // Cut 10 bytes before the last chunk's end, inside its last message record.
      {"cut inside the last chunk",
       unclosed.substr(0, last_chunk.data_pos + last_chunk.data_len - 10), false, false,
       Lost::kMessages},
  };
  for (drone_test::OpenCrashCase& c : drone_test::open_crash_cases(bytes)) {
    // An index entry on a connection that no record defines is damage inside the chunk section;
    // the conversion fails on it (below).
    if (c.reason.find("which the bag does not define") != std::string::npos) continue;
    cases.push_back({c.name, std::move(c.bytes), false, false, Lost::kIndex});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    drone_test::write_file(dir.file("in.bag"), c.bytes);
    const ConversionResult r =
        LivoxToPc2Converter::convert(dir.file("in.bag"), dir.file("out.bag"), kSource, kTarget);
    ASSERT_TRUE(r.success) << r.error;
    EXPECT_EQ(r.read.recording_closed, c.recording_closed);
    EXPECT_EQ(r.read.index_complete, c.index_complete);
    EXPECT_EQ(r.read.unreadable_bytes > 0, c.lost != Lost::kNothing) << r.read.unreadable_bytes;
    const std::vector<std::string> out = drone_test::message_listing(dir.file("out.bag"));
    EXPECT_EQ(drone_test::python_message_listing(dir.file("out.bag")), out);
    EXPECT_EQ(static_cast<int64_t>(out.size()), r.total_messages);
    if (c.lost == Lost::kMessages) {
      EXPECT_LT(out.size(), expected.size());
      EXPECT_GT(out.size(), 0u);
      EXPECT_TRUE(is_prefix_per_connection(out, expected));
    } else {
      EXPECT_EQ(out, expected);
    }
    const bag_format::ReadSummary written = summary_of(dir.file("out.bag"));
    EXPECT_TRUE(written.index_complete && written.recording_closed);
  }
}

// Damage that the chunk section itself holds fails the conversion with its reason and position,
// and no output is left: an index entry on a connection the bag does not define, a record or an
// index entry running past its chunk.
TEST(Converter, DamagedChunkSectionFailsAndLeavesNoOutput) {
  TempDir dir;
  MixedRecording rec;
  rec.write(dir.file("good.bag"));
  drone_test::write_damage_recording(dir.file("mixed.bag"));
  std::vector<drone_test::OpenCrashCase> cases;
  for (drone_test::OpenCrashCase& c :
       drone_test::open_crash_cases(drone_test::read_file(dir.file("good.bag")))) {
    if (c.reason.find("which the bag does not define") != std::string::npos) {
      cases.push_back(std::move(c));
    }
  }
  ASSERT_EQ(cases.size(), 1u);
  for (drone_test::OpenCrashCase& c :
       drone_test::read_crash_cases(drone_test::read_file(dir.file("mixed.bag")))) {
    cases.push_back(std::move(c));
  }
  for (const drone_test::OpenCrashCase& c : cases) {
    SCOPED_TRACE(c.name);
    drone_test::write_file(dir.file("in.bag"), c.bytes);
    const ConversionResult r =
        LivoxToPc2Converter::convert(dir.file("in.bag"), dir.file("out.bag"), kSource, kTarget);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.error.rfind(kPrefix, 0), 0u) << r.error;
    EXPECT_NE(r.error.find(" at"), std::string::npos) << r.error;
    EXPECT_FALSE(fs::exists(dir.file("out.bag")));
    EXPECT_EQ(drone_test::dir_entries(dir.path()),
              (std::vector<std::string>{"good.bag", "in.bag", "mixed.bag"}));
  }
}

}  // namespace
