// cloudconv_node run as a process, as the supervising program starts it.
#include <gtest/gtest.h>
#include <rosbag/bag.h>
#include <sensor_msgs/PointCloud2.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bag_fixtures.h"
#include "framework/escape_json.h"
#include "testing/bag_bytes.h"
#include "testing/bags.h"
#include "testing/output_paths.h"
#include "testing/process.h"
#include "testing/task_run.h"
#include "testing/temp_dir.h"

namespace {

using drone_test::run_program;
using drone_test::TempDir;

// The report lines of a run without the conversion's intermediate progress lines, which a slow
// build may print.
std::vector<std::string> report_lines(const drone_test::ProcessResult& run) {
  return drone_test::without_progress_steps(drone_test::split_lines(run.out), "正在转换");
}

TEST(CloudconvNode, ConvertsAndPrintsItsReports) {
  TempDir dir;
  cloudconv_test::write_small_recording(dir.file("flight.bag"));
  const auto r = run_program("cloudconv_node", {"--input_bag", dir.file("flight.bag")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string in = dir.file("flight.bag");
  const std::string out = dir.file("flight_pc2.bag");
  const std::vector<std::string> expected = {
      "{\"_progress\":{\"percent\":0,\"message\":\"开始转换: " + in + " -> " + out +
          "\",\"metadata\":{}}}",
      "{\"_progress\":{\"percent\":50,\"message\":\"转换完成，正在生成报告...\",\"metadata\":{}}}",
      "{\"_progress\":{\"percent\":100,\"message\":\"任务完成，共转换 2 帧，8 "
      "点\",\"metadata\":{}}}",
      "{\"_progress\":{\"percent\":100,\"message\":\"任务完成\",\"metadata\":{\"result\":"
      "{\"success\":true,\"input_bag\":\"" +
          in + "\",\"output_bag\":\"" + out +
          "\",\"source_topic\":\"/livox/lidar\",\"target_topic\":\"/livox/points\","
          "\"total_messages\":3,\"converted_messages\":2,\"copied_messages\":1,"
          "\"total_points\":8},\"files\":[]}}}",
  };
  EXPECT_EQ(report_lines(r), expected);
  EXPECT_EQ(drone_test::read_all(out).size(), 3u);
}

// The option from the command line: a list that reads gives the run of the default's reports
// with the fields' clouds; one that does not, exit status 1 and the known fields, no output.
TEST(CloudconvNode, TakesThePointFieldsFromTheCommandLine) {
  TempDir dir;
  cloudconv_test::write_small_recording(dir.file("flight.bag"));
  const auto ok = run_program("cloudconv_node", {"--input_bag", dir.file("flight.bag"),
                                                 "--point_fields", "x,y,z,intensity,ring,time"});
  EXPECT_EQ(ok.exit_code, 0) << ok.err;
  const auto clouds = drone_test::read_all(dir.file("flight_pc2.bag"));
  ASSERT_EQ(clouds.size(), 3u);
  sensor_msgs::PointCloud2 cloud;
  std::vector<uint8_t> bytes = clouds[0].bytes;
  ros::serialization::IStream in(bytes.data(), static_cast<uint32_t>(bytes.size()));
  ros::serialization::deserialize(in, cloud);
  EXPECT_EQ(cloud.fields.size(), 6u);
  EXPECT_EQ(cloud.data.size(), 3u * 22u);
  const auto bad =
      run_program("cloudconv_node", {"--input_bag", dir.file("flight.bag"), "--output_bag",
                                     dir.file("bad.bag"), "--point_fields", "x,y,z,t"});
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_EQ(bad.err,
            "[ERROR] 参数 --point_fields 含有未知字段 \"t\"；可用字段: x, y, z, intensity, tag, "
            "ring, time, timestamp\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("bad.bag")));
}

TEST(CloudconvNode, RefusesToWriteOverItsInput) {
  TempDir dir;
  cloudconv_test::write_small_recording(dir.file("flight.bag"));
  const std::string before = drone_test::read_file(dir.file("flight.bag"));
  const std::string in = dir.file("flight.bag");
  const std::string out = dir.path() + "/./flight.bag";
  const auto r = run_program("cloudconv_node", {"--input_bag", in, "--output_bag", out});
  EXPECT_EQ(r.exit_code, 1);
  const std::string error = "Bag conversion failed: output bag " + out +
                            " is the same file as input bag " + in +
                            "; refusing to overwrite the input";
  EXPECT_EQ(r.err, "[ERROR] " + error + "\n");
  const std::vector<std::string> expected = {
      "{\"_progress\":{\"percent\":0,\"message\":\"开始转换: " + in + " -> " + out +
          "\",\"metadata\":{}}}",
      "{\"_progress\":{\"percent\":100,\"message\":\"任务失败\",\"metadata\":{\"result\":"
      "{\"success\":false,\"error\":\"" +
          error + "\"},\"files\":[]}}}",
      drone_test::error_line(error),
  };
  EXPECT_EQ(report_lines(r), expected);
  EXPECT_EQ(drone_test::read_file(in), before);
}

TEST(CloudconvNode, MissingInputEndsWithStatusOne) {
  TempDir dir;
  const auto r = run_program("cloudconv_node", {});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind("[ERROR] Bag conversion failed: ", 0), 0u) << r.err;
  const auto lines = report_lines(r);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(
      lines[0],
      "{\"_progress\":{\"percent\":0,\"message\":\"开始转换:  -> _pc2.bag\",\"metadata\":{}}}");
  EXPECT_NE(lines[1].find("\"result\":{\"success\":false,\"error\":\"Bag conversion failed: "),
            std::string::npos);
}

// Damage inside a chunk (an index entry or a record running past the chunk's end) ends the
// program like any input that cannot be read: status 1, no signal, the damage named, no output
// bag.
TEST(CloudconvNode, DamagedChunkEndsWithStatusOneAndNoOutput) {
  TempDir dir;
  drone_test::write_damage_recording(dir.file("mixed.bag"));
  const std::string in = dir.file("damaged.bag");
  const std::string out = dir.file("damaged_pc2.bag");
  for (const drone_test::OpenCrashCase& c :
       drone_test::read_crash_cases(drone_test::read_file(dir.file("mixed.bag")))) {
    SCOPED_TRACE(c.name);
    drone_test::write_file(in, c.bytes);
    const auto r = run_program("cloudconv_node", {"--input_bag", in});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 1);
    ASSERT_EQ(r.err.rfind("[ERROR] Bag conversion failed: ", 0), 0u) << r.err;
    const std::string error = r.err.substr(8, r.err.size() - 9);
    // The reader names the damage and where it is.
    EXPECT_NE(error.find(" at "), std::string::npos) << error;
    const auto lines = report_lines(r);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), drone_test::error_line(error));
    EXPECT_FALSE(std::filesystem::exists(out));
  }
}

// A recording whose index does not read (damaged index records) or is missing (a recorder that
// was stopped) is converted from its chunks into a complete bag, and the run says so in a
// progress line.
TEST(CloudconvNode, RecordingWithoutAReadableIndexIsConvertedFromItsChunks) {
  TempDir dir;
  cloudconv_test::write_small_recording(dir.file("flight.bag"));
  const std::string good = drone_test::read_file(dir.file("flight.bag"));
  std::vector<drone_test::OpenCrashCase> cases;
  for (drone_test::OpenCrashCase& c : drone_test::open_crash_cases(good)) {
    // An index entry on an undefined connection is damage in the chunk section, which fails.
    if (c.reason.find("which the bag does not define") == std::string::npos) {
      cases.push_back(std::move(c));
    }
  }
  cases.push_back({"not closed", drone_test::as_unclosed_recording(good), ""});
  const std::string in = dir.file("damaged.bag");
  const std::string out = dir.file("damaged_pc2.bag");
  for (const drone_test::OpenCrashCase& c : cases) {
    SCOPED_TRACE(c.name);
    drone_test::write_file(in, c.bytes);
    const auto r = run_program("cloudconv_node", {"--input_bag", in});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const auto lines = report_lines(r);
    ASSERT_EQ(lines.size(), 5u);
    // The damaged index section, when there is one, is counted as bytes that cannot be read.
    const std::string note =
        "{\"_progress\":{\"percent\":50,\"message\":\"录制未正常结束（bag "
        "没有索引），已按数据块转换";
    EXPECT_EQ(lines[1].rfind(note, 0), 0u) << lines[1];
    EXPECT_EQ(lines[1].find("字节无法读取") != std::string::npos, !c.reason.empty()) << lines[1];
    EXPECT_NE(lines[4].find("\"total_messages\":3,\"converted_messages\":2"), std::string::npos)
        << lines[4];
    EXPECT_EQ(drone_test::read_all(out).size(), 3u);
  }
}

// An input that is not a regular file fails at once (a FIFO without a writer does not block),
// naming what it is.
TEST(CloudconvNode, InputThatIsNotARegularFileFailsAtOnce) {
  TempDir dir;
  const std::string out = dir.file("out.bag");
  for (const drone_test::NonRegularFile& f : drone_test::non_regular_files(dir)) {
    SCOPED_TRACE(f.path);
    // A program that blocks is stopped after 60 seconds and fails the test with status 124.
    const auto r = drone_test::run_process(
        {"/usr/bin/timeout", "60", drone_test::program_path("cloudconv_node"), "--input_bag",
         f.path, "--output_bag", out},
        {}, {"DRONE_TASK_PROGRESS_URL"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "[ERROR] Bag conversion failed: " + f.path + " is not a regular file (" +
                         f.kind + ")\n");
    EXPECT_FALSE(std::filesystem::exists(out));
  }
}

// The cloud that the conversion makes of a stored Livox frame, read from the bytes field by
// field; throws std::out_of_range when the bytes do not hold the frame's points.
std::vector<uint8_t> cloud_of(const std::string& frame) {
  size_t at = 0;
  auto take = [&](size_t n) {
    if (n > frame.size() - at) throw std::out_of_range("a frame cut short");
    const size_t from = at;
    at += n;
    return from;
  };
  auto u32 = [&](size_t pos) { return drone_test::get_u32(frame, pos); };
  sensor_msgs::PointCloud2 cloud;
  cloud.header.seq = u32(take(4));
  cloud.header.stamp.sec = u32(take(4));
  cloud.header.stamp.nsec = u32(take(4));
  take(u32(take(4)));   // frame_id
  take(8 + 4 + 1 + 3);  // timebase, point_num, lidar_id, rsvd
  const uint32_t count = u32(take(4));
  const size_t points = take(static_cast<size_t>(count) * 19);
  cloud.header.frame_id = "lidar0::lidar_link";
  cloud.height = 1;
  cloud.width = count;
  const char* names[] = {"x", "y", "z", "intensity"};
  for (uint32_t i = 0; i < 4; ++i) {
    sensor_msgs::PointField field;
    field.name = names[i];
    field.offset = 4 * i;
    field.datatype = sensor_msgs::PointField::FLOAT32;
    field.count = 1;
    cloud.fields.push_back(field);
  }
  cloud.point_step = 16;
  cloud.row_step = 16 * count;
  cloud.is_dense = true;
  for (uint32_t i = 0; i < count; ++i) {
    const char* p = frame.data() + points + static_cast<size_t>(i) * 19;
    cloud.data.insert(cloud.data.end(), p + 4, p + 16);
    const float intensity = static_cast<uint8_t>(p[16]);
    const auto* q = reinterpret_cast<const uint8_t*>(&intensity);
    cloud.data.insert(cloud.data.end(), q, q + 4);
  }
  return drone_test::serialize(cloud);
}

// Random changes of 1 to 8 bytes inside the chunks of plain, bz2 and lz4 recordings: every
// changed bag either fails with status 1, the error report and no output, or converts to exactly
// what its bytes hold (read from them independently of the bag library). DRONE_BAG_MUTANTS sets
// the number of changed bags per storage kind; the figures are printed.
TEST(CloudconvNode, ChangedChunkBytesFailCleanlyOrConvertWhatTheBytesHold) {
  const uint32_t mutants = drone_test::bag_mutant_count();
  TempDir dir;
  const std::string in = dir.file("changed.bag");
  const std::string out = dir.file("changed_pc2.bag");
  const std::pair<const char*, rosbag::compression::CompressionType> kinds[] = {
      {"plain", rosbag::compression::Uncompressed},
      {"bz2", rosbag::compression::BZ2},
      {"lz4", rosbag::compression::LZ4}};
  for (const auto& kind : kinds) {
    drone_test::write_damage_recording(dir.file("whole.bag"), kind.second, 3);
    const std::string whole = drone_test::read_file(dir.file("whole.bag"));
    uint32_t failed = 0, converted = 0, crashed = 0, wrong = 0;
    for (uint32_t seed = 1; seed <= mutants; ++seed) {
      SCOPED_TRACE(std::string(kind.first) + ", seed " + std::to_string(seed));
      const std::string changed = drone_test::with_chunk_bytes_changed(whole, seed);
      drone_test::write_file(in, changed);
      std::filesystem::remove(out);
      const auto r = run_program("cloudconv_node", {"--input_bag", in, "--output_bag", out});
      const std::vector<std::string> err = drone_test::split_lines(r.err);
      const bool reported = r.exit_code == 1 && !err.empty() &&
                            err.back().rfind("[ERROR] Bag conversion failed: ", 0) == 0 &&
                            r.err.find("Sanitizer") == std::string::npos &&
                            r.err.find("runtime error") == std::string::npos;
      if (reported && !std::filesystem::exists(out)) {
        ++failed;
        continue;
      }
      if (r.exit_code != 0) {
        ++crashed;
        ADD_FAILURE() << "status " << r.exit_code << ", signal " << r.signal << ": " << r.err;
        continue;
      }
      // The messages in record-time order, timed by their index entries or by their records'
      // own time fields: where a changed byte makes the two disagree, the reader that walks the
      // chunk goes by the record.
      std::vector<drone_test::StoredMessage> by_entry;
      std::vector<drone_test::StoredMessage> by_record;
      try {
        for (const drone_test::IndexedMessage& m : drone_test::indexed_messages(changed)) {
          drone_test::StoredMessage e;
          e.time = ros::Time(m.sec, m.nsec);
          e.topic = m.connection == 0 ? "/livox/points" : "/status";
          const std::string bytes = m.data;
          e.bytes = m.connection == 0 ? cloud_of(bytes)
                                      : std::vector<uint8_t>(bytes.begin(), bytes.end());
          by_entry.push_back(e);
          e.time = ros::Time(m.record_sec, m.record_nsec);
          by_record.push_back(std::move(e));
        }
      } catch (const std::exception& e) {
        ++wrong;
        ADD_FAILURE() << "converted a bag whose bytes do not hold its messages: " << e.what();
        continue;
      }
      std::stable_sort(by_record.begin(), by_record.end(),
                       [](const auto& a, const auto& b) { return a.time < b.time; });
      const std::vector<drone_test::StoredMessage> got = drone_test::read_all(out);
      const auto matches = [&got](const std::vector<drone_test::StoredMessage>& expected) {
        bool same = got.size() == expected.size();
        for (size_t i = 0; same && i < got.size(); ++i) {
          same = got[i].topic == expected[i].topic && got[i].time == expected[i].time &&
                 got[i].bytes == expected[i].bytes;
        }
        return same;
      };
      const bool same = matches(by_entry) || matches(by_record);
      ++(same ? converted : wrong);
      EXPECT_TRUE(same) << "the output differs from what the changed bag holds";
    }
    std::cout << "changed " << kind.first << " bags: " << mutants << " mutants, " << failed
              << " failed cleanly, " << converted << " converted as their bytes say, " << crashed
              << " crashed or failed without the report, " << wrong << " wrong outputs\n";
  }
}

// Whatever lies at the output path: a link is replaced (its target kept), anything else that is
// not a regular file is refused; a write that fails as on a full disk keeps the earlier output.
// Nothing of the run is left beside it.
TEST(CloudconvNode, OutputIsReplacedWholeOrNotAtAll) {
  TempDir dir;
  const std::string in = dir.file("flight.bag");
  cloudconv_test::write_small_recording(in);
  const std::string out = dir.file("flight_pc2.bag");
  const std::vector<std::string> args = {"--input_bag", in};
  for (const drone_test::OutputPathKind& kind : drone_test::output_path_kinds()) {
    SCOPED_TRACE(kind.name);
    TempDir other;
    drone_test::write_file(other.file("kept"), "kept");
    if (!drone_test::make_output_path(kind, out, other.file("kept"))) continue;
    const std::string before = drone_test::path_state(out);
    const auto r = run_program("cloudconv_node", args);
    EXPECT_EQ(drone_test::path_state(other.file("kept")), "file:kept");
    if (kind.replaced) {
      EXPECT_EQ(r.exit_code, 0) << r.err;
      EXPECT_EQ(drone_test::read_all(out).size(), 3u);
    } else {
      EXPECT_EQ(r.exit_code, 1);
      EXPECT_EQ(r.err, "[ERROR] Bag conversion failed: cannot write output bag " + out +
                           " (exists and is not a regular file)\n");
      EXPECT_EQ(drone_test::path_state(out), before);
    }
    EXPECT_EQ(drone_test::dir_entries(dir.path()),
              (std::vector<std::string>{"flight.bag", "flight_pc2.bag"}));
    std::filesystem::remove(out);
  }

  drone_test::write_file(out, "earlier output");
  std::vector<std::string> limited = drone_test::file_size_limit_prefix(6);
  limited.push_back(drone_test::program_path("cloudconv_node"));
  limited.insert(limited.end(), args.begin(), args.end());
  const auto r = drone_test::run_process(limited, {}, {"DRONE_TASK_PROGRESS_URL"});
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind("[ERROR] Bag conversion failed: ", 0), 0u) << r.err;
  EXPECT_EQ(drone_test::path_state(out), "file:earlier output");
  EXPECT_EQ(drone_test::dir_entries(dir.path()),
            (std::vector<std::string>{"flight.bag", "flight_pc2.bag"}));
}

TEST(CloudconvNode, HelpDescribesTheProgram) {
  const auto r = run_program("cloudconv_node", {"--help"});
  EXPECT_EQ(r.exit_code, 0);
  for (const char* word : {"--input_bag", "--output_bag", "--source_topic", "--target_topic",
                           "--point_fields", "timestamp", "/livox/lidar", "/livox/points", "None",
                           "DRONE_TASK_PROGRESS_URL", "total_points", "Exit status"}) {
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  }
}

}  // namespace
