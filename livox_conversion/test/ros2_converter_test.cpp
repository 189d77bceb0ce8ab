// The conversion of ROS 2 recordings (MCAP, SQLite, rosbag2 folders), its output read back by
// independent readers: MCAP by the format's reference readers (@mcap/core, the clouds decoded by
// @foxglove/rosmsg2-serialization from the stored definition), SQLite by the sqlite3 command,
// metadata.yaml by Python's yaml. The clouds must carry the point bytes of the ROS 1 conversion
// of the same frames.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ros/serialization.h>
#include <sensor_msgs/PointCloud2.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bag_fixtures.h"
#include "livox_conversion/livox_to_pc2.h"
#include "livox_conversion/point_layout.h"
#include "ros2_fixtures.h"
#include "testing/bags.h"
#include "testing/cdr_frames.h"
#include "testing/process.h"
#include "testing/ros2_readers.h"
#include "testing/temp_dir.h"

namespace {

using cloudconv_test::Ros2Message;
using drone_test::TempDir;
using livox_to_pc2::LivoxToPc2Converter;
using livox_to_pc2::PointLayout;
using ros2_storage::Storage;

const std::string kSource = "/livox/lidar";
const std::string kTarget = "/livox/points";

struct Shape {
  const char* what;
  Storage storage;
  bool folder;
  const char* compression;
  const char* name;  // of the input; the output gets "_pc2" before the extension
};

const Shape kShapes[] = {
    {"MCAP file", Storage::mcap, false, "", "in.mcap"},
    {"MCAP file of zstd chunks", Storage::mcap, false, "zstd", "in.mcap"},
    {"MCAP folder", Storage::mcap, true, "", "in"},
    {"SQLite file", Storage::sqlite, false, "", "in.db3"},
    {"SQLite folder", Storage::sqlite, true, "", "in"},
};

std::string output_name(const Shape& shape) {
  const std::string name = shape.name;
  const size_t dot = name.find('.');
  return dot == std::string::npos ? name + "_pc2" : name.substr(0, dot) + "_pc2" + name.substr(dot);
}

ros2_storage::WriterOptions options_of(const Shape& shape) {
  ros2_storage::WriterOptions options;
  options.storage = shape.storage;
  options.folder = shape.folder;
  options.compression = shape.compression;
  options.chunk_size = 16 * 1024;  // several chunks
  return options;
}

// The storage file of an output: the file itself, or the one file of the folder.
std::string storage_file(const Shape& shape, const std::string& output) {
  if (!shape.folder) return output;
  return output + "/in_pc2_0." + (shape.storage == Storage::mcap ? "mcap" : "db3");
}

// The point data of each cloud the ROS 1 conversion gives for the frames of `bag`.
std::vector<std::string> ros1_cloud_data(const std::string& bag, const std::string& output,
                                         const PointLayout& layout) {
  const auto result = LivoxToPc2Converter::convert(bag, output, kSource, kTarget, layout);
  EXPECT_TRUE(result.success) << result.error;
  std::vector<std::string> data;
  for (drone_test::StoredMessage& message : drone_test::read_all(output)) {
    if (message.topic != kTarget) continue;
    sensor_msgs::PointCloud2 cloud;
    ros::serialization::IStream in(message.bytes.data(),
                                   static_cast<uint32_t>(message.bytes.size()));
    ros::serialization::deserialize(in, cloud);
    data.push_back(drone_test::hex(cloud.data.data(), cloud.data.size()));
  }
  return data;
}

std::string fields_text(const PointLayout& layout) {
  std::string text;
  for (const livox_to_pc2::LayoutField& field : layout.fields()) {
    if (!text.empty()) text += ",";
    text += field.name + ":" + std::to_string(field.offset) + ":" + std::to_string(field.datatype) +
            ":1";
  }
  return text;
}

std::string message_line(const Ros2Message& m) {
  return m.topic + "\t" + std::to_string(m.log_time) + "\t" + std::to_string(m.publish_time) +
         "\t" + std::to_string(m.sequence) + "\t" + drone_test::hex(m.data.data(), m.data.size());
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Faults caught: a cloud whose header, fields, sizes or point bytes differ from the ROS 1
// cloud of the frame (alignment of the CDR fields, a layout's offsets, the per-point times of
// frames whose timebase lies before or after their stamp, NaN points, an empty frame); a copied
// message changed, lost, reordered or moved to another channel; a channel's schema or QoS text
// lost; a storage or shape other than the input's; counters that miscount.
TEST(Ros2Conversion, EachStorageGivesItsOwnWithTheCloudsOfRos1) {
  TempDir dir;
  const std::vector<livox_ros_driver2::CustomMsg> frames =
      cloudconv_test::write_timing_recording(dir.file("frames.bag"));
  uint64_t points = 0;
  for (const auto& frame : frames) points += frame.points.size();

  for (const char* fields :
       {"x,y,z,intensity", "x,y,z,intensity,tag,ring,time,timestamp", "timestamp,ring,z,x"}) {
    PointLayout layout;
    std::string reason;
    ASSERT_TRUE(PointLayout::parse(fields, &layout, &reason)) << reason;
    const std::vector<std::string> ros1 =
        ros1_cloud_data(dir.file("frames.bag"), dir.file(std::string(fields) + ".bag"), layout);
    ASSERT_EQ(ros1.size(), frames.size());
    std::vector<std::string> mcap_clouds;  // the clouds' CDR bytes, as @mcap/core read them

    for (const Shape& shape : kShapes) {
      SCOPED_TRACE(std::string(shape.what) + ", fields " + fields);
      TempDir work;
      const std::string input = work.file(shape.name);
      const std::string output = work.file(output_name(shape));
      const std::vector<Ros2Message> written =
          cloudconv_test::write_ros2_recording(input, options_of(shape), frames);
      const auto result = LivoxToPc2Converter::convert(input, output, kSource, kTarget, layout);
      ASSERT_TRUE(result.success) << result.error;
      EXPECT_EQ(result.total_messages, static_cast<int64_t>(written.size()));
      EXPECT_EQ(result.converted_messages, static_cast<int64_t>(frames.size()));
      EXPECT_EQ(result.copied_messages, static_cast<int64_t>(written.size() - frames.size()));
      EXPECT_EQ(result.total_points, static_cast<int64_t>(points));
      const std::string file = storage_file(shape, output);
      ASSERT_TRUE(exists(file));

      std::vector<std::string> copied;
      for (const Ros2Message& m : written) {
        if (m.topic != kSource) copied.push_back(message_line(m));
      }
      if (shape.storage == Storage::mcap) {
        const std::vector<std::string> lines = drone_test::mcap_reference_lines(file);
        std::vector<std::string> others;
        std::vector<std::string> clouds;
        for (const std::string& line : drone_test::lines_of(lines, "INDEXED")) {
          (line.rfind(kTarget + "\t", 0) == 0 ? clouds : others).push_back(line);
        }
        EXPECT_EQ(others, copied);
        const std::vector<std::string> decoded = drone_test::lines_of(lines, "CLOUD");
        ASSERT_EQ(decoded.size(), frames.size());
        for (size_t i = 0; i < frames.size(); ++i) {
          const auto& stamp = frames[i].header.stamp;
          EXPECT_EQ(decoded[i], kTarget + "\t" + std::to_string(stamp.sec) + "\t" +
                                    std::to_string(stamp.nsec) + "\tlidar0::lidar_link\t1\t" +
                                    std::to_string(frames[i].points.size()) + "\t" +
                                    fields_text(layout) + "\tfalse\t" +
                                    std::to_string(layout.point_step()) + "\t" +
                                    std::to_string(layout.point_step() * frames[i].points.size()) +
                                    "\ttrue\t" + ros1[i])
              << "frame " << i;
          // Stored at the frame's own log time, publish time and sequence.
          EXPECT_EQ(clouds[i].substr(0, clouds[i].rfind('\t')),
                    kTarget + "\t" + std::to_string(written[2 * i].log_time) + "\t" +
                        std::to_string(written[2 * i].publish_time) + "\t" + std::to_string(i));
          if (!shape.folder && shape.compression[0] == '\0') {
            mcap_clouds.push_back(clouds[i].substr(clouds[i].rfind('\t') + 1));
          }
        }
        const std::vector<std::string> channels = drone_test::lines_of(lines, "CHANNEL");
        ASSERT_EQ(channels.size(), 4u);  // the input's three and the clouds'
        EXPECT_EQ(channels[0].substr(0, channels[0].find('\t', 2)), "0\t/livox/lidar");
        EXPECT_NE(channels[0].find(drone_test::hex(std::string("- history: 1\n"))),
                  std::string::npos);
        bool livox_schema_kept = false;
        for (const std::string& schema : drone_test::lines_of(lines, "SCHEMA")) {
          livox_schema_kept |=
              schema.find(drone_test::hex(cloudconv_test::livox_definition())) != std::string::npos;
        }
        EXPECT_TRUE(livox_schema_kept);
      } else {
        EXPECT_EQ(drone_test::sqlite_rows(file, "PRAGMA integrity_check"),
                  std::vector<std::string>{"ok"});
        std::vector<std::string> others;
        std::vector<std::string> clouds;
        for (const std::string& row : drone_test::sqlite_rows(
                 file,
                 "SELECT t.name, m.timestamp, lower(hex(m.data)) FROM messages m JOIN topics t "
                 "ON t.id = m.topic_id ORDER BY m.timestamp, m.id")) {
          (row.rfind(kTarget + "\t", 0) == 0 ? clouds : others).push_back(row);
        }
        std::vector<std::string> expected;
        for (const Ros2Message& m : written) {
          if (m.topic == kSource) continue;
          expected.push_back(m.topic + "\t" + std::to_string(m.log_time) + "\t" +
                             drone_test::hex(m.data.data(), m.data.size()));
        }
        EXPECT_EQ(others, expected);
        ASSERT_EQ(clouds.size(), frames.size());
        ASSERT_EQ(mcap_clouds.size(), frames.size());
        for (size_t i = 0; i < frames.size(); ++i) {
          EXPECT_EQ(clouds[i], kTarget + "\t" + std::to_string(written[2 * i].log_time) + "\t" +
                                   mcap_clouds[i])
              << "frame " << i;
        }
        EXPECT_EQ(drone_test::sqlite_rows(file,
                                          "SELECT name, type, serialization_format FROM "
                                          "topics WHERE name = '" +
                                              kTarget + "'"),
                  std::vector<std::string>{kTarget + "\tsensor_msgs/msg/PointCloud2\tcdr"});
      }
      if (shape.folder) {
        const drone_test::ProcessResult read = drone_test::run_python(
            "import sys, yaml\n"
            "i = yaml.safe_load(open(sys.argv[1]))['rosbag2_bagfile_information']\n"
            "print(i['storage_identifier'], i['message_count'], i['relative_file_paths'])\n"
            "for t in i['topics_with_message_count']:\n"
            "  print(t['topic_metadata']['name'], t['topic_metadata']['type'], "
            "t['message_count'])\n",
            {output + "/metadata.yaml"});
        EXPECT_EQ(read.out, std::string(shape.storage == Storage::mcap ? "mcap" : "sqlite3") + " " +
                                std::to_string(written.size()) + " ['" +
                                file.substr(file.rfind('/') + 1) +
                                "']\n/livox/lidar livox_ros_driver2/msg/CustomMsg 0\n"
                                "/status std_msgs/msg/String " +
                                std::to_string(frames.size()) +
                                "\n/imu sensor_msgs/msg/Imu 0\n"
                                "/livox/points sensor_msgs/msg/PointCloud2 " +
                                std::to_string(frames.size()) + "\n")
            << read.err;
      }
    }
  }
}

// Faults caught: an output in another storage than the input's (named by its ending, or a file
// for a folder), an input overwritten by its own output; each refused before anything is
// written, with words that say so.
TEST(Ros2Conversion, RefusesAnotherStorageAndTheInputItself) {
  struct Case {
    const Shape* shape;
    const char* output;  // relative to the folder; "" for the input itself
    const char* words;
  };
  const Case cases[] = {
      {&kShapes[0], "out.db3", "names a SQLite file, but input"},
      {&kShapes[0], "out.bag", "names a ROS 1 bag, but input"},
      {&kShapes[3], "out.mcap", "names an MCAP file, but input"},
      {&kShapes[2], "out.mcap", "is a rosbag2 folder; the output is written in the input's"},
      {&kShapes[4], "out.db3", "is a rosbag2 folder"},
      {&kShapes[0], "", "is the same as input"},
      {&kShapes[2], "", "is the same as input"},
  };
  const std::vector<livox_ros_driver2::CustomMsg> frames = {
      drone_test::make_livox_frame(1, ros::Time(5, 0), {{1, 2, 3}})};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.shape->what) + " -> " + c.output);
    TempDir dir;
    const std::string input = dir.file(c.shape->name);
    cloudconv_test::write_ros2_recording(input, options_of(*c.shape), frames);
    const std::string output = c.output[0] == '\0' ? input : dir.file(c.output);
    const auto result = LivoxToPc2Converter::convert(input, output, kSource, kTarget);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error.rfind("Bag conversion failed: output " + output, 0), 0u) << result.error;
    EXPECT_NE(result.error.find(c.words), std::string::npos) << result.error;
    if (c.output[0] != '\0') {
      EXPECT_FALSE(exists(output));
    }
  }
}

// Faults caught: a damaged frame that crashes the conversion or passes unnoticed, a failure
// that leaves a partial output or changes an earlier one.
TEST(Ros2Conversion, DamagedFrameFailsNamingItAndLeavesTheEarlierOutput) {
  for (const Shape& shape : kShapes) {
    SCOPED_TRACE(shape.what);
    TempDir dir;
    const std::string input = dir.file(shape.name);
    const std::string output = dir.file(output_name(shape));
    std::vector<livox_ros_driver2::CustomMsg> frames = {
        drone_test::make_livox_frame(1, ros::Time(5, 0), {{1, 2, 3}, {4, 5, 6}})};
    cloudconv_test::write_ros2_recording(input, options_of(shape), frames);
    ASSERT_TRUE(LivoxToPc2Converter::convert(input, output, kSource, kTarget).success);
    const std::string file = storage_file(shape, output);
    const std::string earlier = drone_test::read_file(file);

    // The same recording, its frame declaring more points than it carries.
    TempDir damaged_dir;
    const std::string damaged = damaged_dir.file(shape.name);
    frames[0].points.resize(400);
    ros2_storage::WriterOptions options = options_of(shape);
    const auto writer = ros2_storage::create_writer(damaged, options);
    const uint32_t lidar = writer->add_channel({kSource,
                                                "livox_ros_driver2/msg/CustomMsg",
                                                "cdr",
                                                "ros2msg",
                                                cloudconv_test::livox_definition(),
                                                "",
                                                "",
                                                {}});
    std::vector<uint8_t> bytes = drone_test::cdr_frame(frames[0]);
    bytes.resize(bytes.size() / 2);
    writer->write(lidar, 5000000000ull, 5000000000ull, 0, bytes.data(), bytes.size());
    writer->close();

    const auto result = LivoxToPc2Converter::convert(damaged, output, kSource, kTarget);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error.rfind("Bag conversion failed: Livox frame on /livox/lidar recorded at "
                                 "5.000000000 cannot be decoded: ",
                                 0),
              0u)
        << result.error;
    EXPECT_EQ(drone_test::read_file(file), earlier);
  }
}

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    const size_t tab = line.find('\t', start);
    fields.push_back(
        line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

std::string unhex(const std::string& digits) {
  std::string bytes;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

// Faults caught: MCAP metadata records of the input lost or altered, and rosbag2's own record
// copied, so that the output would describe the input's topics and counts.
TEST(Ros2Conversion, McapMetadataRecordsAreCopiedButRosbag2sIsWrittenAnew) {
  TempDir dir;
  ros2_storage::WriterOptions options = options_of(kShapes[0]);
  options.metadata = {{"site", {{"pit", "north"}}}};
  const std::vector<livox_ros_driver2::CustomMsg> frames = {
      drone_test::make_livox_frame(1, ros::Time(5, 0), {{1, 2, 3}}),
      drone_test::make_livox_frame(2, ros::Time(6, 0), {{4, 5, 6}})};
  cloudconv_test::write_ros2_recording(dir.file("in.mcap"), options, frames);
  ASSERT_TRUE(
      LivoxToPc2Converter::convert(dir.file("in.mcap"), dir.file("out.mcap"), kSource, kTarget)
          .success);
  const std::vector<std::string> metadata =
      drone_test::lines_of(drone_test::mcap_reference_lines(dir.file("out.mcap")), "METADATA");
  ASSERT_EQ(metadata.size(), 2u);
  EXPECT_EQ(metadata[0], "site\t" + drone_test::hex(std::string("pit")) + "\t" +
                             drone_test::hex(std::string("north")));
  const size_t tab = metadata[1].find('\t');
  ASSERT_EQ(metadata[1].substr(0, tab), "rosbag2");
  // The record's entries: serialized_metadata with its YAML text, then ROS_DISTRO.
  const std::string entries = metadata[1].substr(tab + 1);
  EXPECT_EQ(unhex(entries.substr(0, entries.find('\t'))), "serialized_metadata");
  const std::string after_key = entries.substr(entries.find('\t') + 1);
  const std::string yaml = unhex(after_key.substr(0, after_key.find('\t')));
  const drone_test::ProcessResult read = drone_test::run_python(
      "import sys, yaml\n"
      "i = yaml.safe_load(sys.argv[1])['rosbag2_bagfile_information']\n"
      "print(i['message_count'], sorted((t['topic_metadata']['name'], t['message_count'])"
      " for t in i['topics_with_message_count']))\n",
      {yaml});
  EXPECT_EQ(read.out,
            "4 [('/imu', 0), ('/livox/lidar', 0), ('/livox/points', 2), ('/status', 2)]\n")
      << read.err << yaml;
}

// Faults caught: a derived output path that changes the storage's ending or writes a ROS 1 bag
// name for a ROS 2 input, and a refusal that the program does not report as a failure.
TEST(Ros2Conversion, ProgramDerivesTheOutputOfEachStorageAndReportsRefusals) {
  struct Case {
    const Shape* shape;
    const char* input;  // as given on the command line, relative to the folder
    const char* output;
  };
  const Case cases[] = {
      {&kShapes[0], "flight.mcap", "flight_pc2.mcap"},
      {&kShapes[3], "flight.db3", "flight_pc2.db3"},
      {&kShapes[2], "flight/", "flight_pc2"},
      {&kShapes[0], "flight", "flight_pc2.mcap"},
  };
  const std::vector<livox_ros_driver2::CustomMsg> frames = {
      drone_test::make_livox_frame(1, ros::Time(5, 0), {{1, 2, 3}, {4, 5, 6}})};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    TempDir dir;
    cloudconv_test::write_ros2_recording(dir.file(c.input), options_of(*c.shape), frames);
    const auto run = drone_test::run_program("cloudconv_node", {"--input_bag", dir.file(c.input)});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("\"output_bag\":\"" + dir.file(c.output) + "\""), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"converted_messages\":1,\"copied_messages\":1,\"total_points\":2"),
              std::string::npos)
        << run.out;
    EXPECT_TRUE(exists(dir.file(c.output)));
  }
  TempDir dir;
  cloudconv_test::write_ros2_recording(dir.file("flight.mcap"), options_of(kShapes[0]), frames);
  const auto refused = drone_test::run_program(
      "cloudconv_node",
      {"--input_bag", dir.file("flight.mcap"), "--output_bag", dir.file("a.db3")});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(drone_test::error_text(refused).find("conversion between storages is not supported"),
            std::string::npos)
      << refused.err;
  EXPECT_FALSE(exists(dir.file("a.db3")));
}

// The storage files of a recording at `path` (a file, or a folder's .mcap / .db3 files in name
// order).
std::vector<std::string> storage_files(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return {path};
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    const std::string name = entry.path().string();
    if (name.size() > 5 && (name.compare(name.size() - 5, 5, ".mcap") == 0 ||
                            name.compare(name.size() - 4, 4, ".db3") == 0)) {
      files.push_back(name);
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Every message of the storage files as "<topic> <log time> <hex payload>", sorted: MCAP read
// record by record by @mcap/core, SQLite by the sqlite3 command.
std::vector<std::string> listing(const std::vector<std::string>& files) {
  std::vector<std::string> lines;
  for (const std::string& file : files) {
    if (file.compare(file.size() - 4, 4, ".db3") == 0) {
      for (const std::string& row : drone_test::sqlite_rows(
               file,
               "SELECT t.name, m.timestamp, lower(hex(m.data)) FROM messages m JOIN "
               "topics t ON t.id = m.topic_id")) {
        lines.push_back(row);
      }
    } else {
      for (const std::string& line :
           drone_test::lines_of(drone_test::mcap_reference_lines(file), "STREAM")) {
        const std::vector<std::string> f = split_tabs(line);
        lines.push_back(f[0] + "\t" + f[1] + "\t" + f[4]);
      }
    }
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Faults caught, on recordings that other writers made (the ROS 2 recorder itself; the
// independent writers of Livox recordings in zstd, lz4, unchunked, without summary, cut off,
// split and SQLite): a message of any type or layout of the recorder lost or changed in the
// copy, a frame of theirs not converted, a split or cut recording not written whole and closed.
TEST(Ros2Conversion, RecordingsOfOtherWritersConvertWhole) {
  struct Case {
    const char* input;  // under testing/fixtures
    int64_t frames;     // Livox frames in it
    int64_t imu;        // IMU samples in it (Livox recordings), or -1: a recording without frames
    uint32_t imu_crc;   // CRC-32 of the IMU payloads in log-time order (expected.txt)
  };
  const Case cases[] = {
      {"ros2-livox/livox-zstd.mcap", 12, 48, 3292681192u},
      {"ros2-livox/livox-lz4.mcap", 12, 48, 3292681192u},
      {"ros2-livox/livox-unchunked.mcap", 12, 48, 3292681192u},
      {"ros2-livox/livox-nosummary.mcap", 12, 48, 3292681192u},
      {"ros2-livox/livox-cut.mcap", 8, 32, 3307750155u},
      {"ros2-livox/livox-split", 12, 48, 3292681192u},
      {"ros2-livox/livox-sqlite", 12, 48, 3292681192u},
      {"ros2/mcap-talker", 0, -1, 0},
      {"ros2/sqlite3-talker", 0, -1, 0},
      {"ros2/mcap-split", 0, -1, 0},
      {"ros2/sqlite3-split", 0, -1, 0},
      {"ros2/mcap-cdr_test", 0, -1, 0},
      {"ros2/sqlite3-cdr_test", 0, -1, 0},
      {"ros2/mcap-services", 0, -1, 0},
      {"ros2/mcap-single/only_topics.mcap", 0, -1, 0},
      {"ros2/mcap-no-metadata", 0, -1, 0},
      {"ros2/sqlite3-no-metadata", 0, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    TempDir dir;
    const std::string input = drone_test::fixture_path(c.input);
    const std::string name = std::filesystem::path(c.input).filename().string();
    const std::string output =
        dir.file(name.find('.') == std::string::npos ? "out" : "out" + name.substr(name.find('.')));
    const auto result = LivoxToPc2Converter::convert(input, output, kSource, kTarget);
    ASSERT_TRUE(result.success) << result.error;
    EXPECT_EQ(result.converted_messages, c.frames);
    const std::vector<std::string> files = storage_files(output);
    ASSERT_EQ(files.size(), 1u);
    const std::vector<std::string> out = listing(files);
    EXPECT_EQ(static_cast<int64_t>(out.size()), result.total_messages);
    if (c.imu < 0) {
      EXPECT_EQ(out, listing(storage_files(input)));
      continue;
    }
    std::vector<std::string> imu;
    int64_t clouds = 0;
    for (const std::string& line : out) {
      const std::vector<std::string> f = split_tabs(line);
      if (f[0] == "/livox/imu") imu.push_back(line);
      clouds += f[0] == kTarget ? 1 : 0;
    }
    EXPECT_EQ(clouds, c.frames);
    ASSERT_EQ(static_cast<int64_t>(imu.size()), c.imu);
    std::vector<uint8_t> payloads;  // sorted by log time, which the listing leads with
    std::sort(imu.begin(), imu.end(), [](const std::string& a, const std::string& b) {
      return std::stoull(split_tabs(a)[1]) < std::stoull(split_tabs(b)[1]);
    });
    for (const std::string& line : imu) {
      const std::string bytes = unhex(split_tabs(line)[2]);
      payloads.insert(payloads.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(drone_test::crc32_of(payloads), c.imu_crc);
  }
}

}  // namespace
