// scancheck_node run as a process: report lines, error line and exit status.
#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "elevation.h"
#include "testing/bag_bytes.h"
#include "testing/bags.h"
#include "testing/process.h"
#include "testing/task_run.h"
#include "testing/temp_dir.h"

namespace {

using drone_test::BagBuilder;
using drone_test::ProcessResult;
using scancheck_test::level_points;

constexpr char kProgram[] = "scancheck_node";

ProcessResult run_node(const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& env = {}) {
  return drone_test::run_program(kProgram, args, env);
}

std::string start_line(const std::string& bag) {
  return "{\"_progress\":{\"percent\":0,\"message\":\"开始验证 bag 文件: " + bag +
         "\",\"metadata\":{}}}";
}

class ScancheckNodeTest : public ::testing::Test {
 protected:
  std::string bag(const std::string& name = "in.bag") const { return dir_.file(name); }
  drone_test::TempDir dir_;
};

TEST_F(ScancheckNodeTest, CheckedBagPrintsThreeReportLines) {
  std::vector<drone_test::XyzPoint> points = level_points(1200);
  points.push_back({std::numeric_limits<float>::quiet_NaN(), 0.0f, 0.0f});
  BagBuilder(bag())
      .frame(ros::Time(1700000000, 0), points)
      .frame(ros::Time(1700000000, 100000000), level_points(900))
      .frame(ros::Time(1700000000, 300000000), level_points(1000));

  const ProcessResult r = run_node({"--bag", bag()});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::string out;
  for (const std::string& line :
       drone_test::without_progress_steps(drone_test::split_lines(r.out), "正在检查")) {
    out += line + "\n";
  }
  EXPECT_EQ(out, start_line(bag()) + "\n" +
                     "{\"_progress\":{\"percent\":50,\"message\":\"验证完成，正在生成报告...\","
                     "\"metadata\":{}}}\n"
                     "{\"_progress\":{\"percent\":100,\"message\":\"任务完成\",\"metadata\":{"
                     "\"result\":{\"bag_file\":\"" +
                     bag() +
                     "\",\"topic\":\"/livox/lidar\",\"total_frames\":3,\"anomaly_frames\":1,"
                     "\"low_point_frames\":1,\"high_nan_frames\":0,\"invalid_angle_frames\":0,"
                     "\"avg_points\":1033.67,\"avg_interval_ms\":150.00,\"min_interval_ms\":100.00,"
                     "\"max_interval_ms\":200.00,\"anomaly_rate\":50.00,\"anomalies\":["
                     "{\"frame\":2,\"time\":1700000000.10,\"points\":900,\"nan\":0,"
                     "\"invalid_angle\":0,\"interval_ms\":100.00,\"interval_anomaly\":false},"
                     "{\"frame\":3,\"time\":1700000000.30,\"points\":1000,\"nan\":0,"
                     "\"invalid_angle\":0,\"interval_ms\":200.00,\"interval_anomaly\":true}]},"
                     "\"files\":[]}}}\n");
}

TEST_F(ScancheckNodeTest, NegativeBoundsOnTheCommandLine) {
  BagBuilder(bag()).frame(ros::Time(3), {scancheck_test::point_at_elevation(-9.0)});
  const ProcessResult defaults = run_node({"--bag", bag(), "--min_points", "1"});
  ASSERT_EQ(defaults.exit_code, 0) << defaults.err;
  EXPECT_NE(defaults.out.find("\"invalid_angle_frames\":1"), std::string::npos);

  const ProcessResult widened =
      run_node({"--bag", bag(), "--min_elevation", "-10", "--min_points", "1"});
  ASSERT_EQ(widened.exit_code, 0) << widened.err;
  EXPECT_NE(widened.out.find("\"invalid_angle_frames\":0"), std::string::npos) << widened.out;
}

TEST_F(ScancheckNodeTest, MissingBagOption) {
  const ProcessResult r = run_node({"--topic", "/livox/lidar"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, drone_test::error_line("缺少参数 --bag") + "\n");
  EXPECT_EQ(r.err, "[ERROR] 缺少参数 --bag\n");
}

TEST_F(ScancheckNodeTest, UnreadableInputEndsWithStatusOne) {
  // A bag that does not exist, one whose second frame is damaged, and one whose index names a
  // connection the bag does not define.
  BagBuilder(bag("whole.bag")).frame(ros::Time(1), level_points(50)).frame(ros::Time(2), {});
  const std::string whole = drone_test::read_file(bag("whole.bag"));
  std::vector<uint8_t> bytes =
      drone_test::serialize(drone_test::make_livox_frame(2, ros::Time(2), level_points(10)));
  bytes.resize(bytes.size() - 30);
  BagBuilder(bag("damaged.bag"))
      .frame(ros::Time(1), level_points(50))
      .raw(drone_test::livox_raw(bytes));

  drone_test::write_file(bag("time-zero.bag"),
                         drone_test::with_time_zero_on_undefined_connection(whole).bytes);

  for (const std::string& path : {bag("absent.bag"), bag("damaged.bag"), bag("time-zero.bag")}) {
    SCOPED_TRACE(path);
    const ProcessResult r = run_node({"--bag", path});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.signal, 0);
    const std::vector<std::string> lines = drone_test::split_lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0], start_line(path));
    const std::string head =
        "{\"_progress\":{\"percent\":100,\"message\":\"错误: Bag validation failed: ";
    EXPECT_EQ(lines[1].rfind(head, 0), 0u) << lines[1];
    EXPECT_EQ(r.err.rfind("[ERROR] Bag validation failed: ", 0), 0u) << r.err;
    EXPECT_EQ(r.out.find("任务完成"), std::string::npos);
  }
}

// A recording cut short (the recorder stopped) and one whose index section is damaged are
// checked by walking their chunks, with a line that says so and counts the bytes lost.
TEST_F(ScancheckNodeTest, InterruptedRecordingIsCheckedWithANote) {
  {
    BagBuilder b(bag("whole.bag"), rosbag::compression::Uncompressed, 2048);
    for (uint32_t i = 0; i < 12; ++i) b.frame(ros::Time(5, i * 100000000), level_points(40));
  }
  const std::string whole = drone_test::read_file(bag("whole.bag"));
  const drone_test::BagRecord index = drone_test::record_with_op(whole, drone_test::kOpConnection);
  drone_test::write_file(bag("stopped.bag"), whole.substr(0, index.pos));
  drone_test::write_file(bag("cut.bag"), whole.substr(0, index.pos - 100));
  drone_test::write_file(bag("field-past-header.bag"),
                         drone_test::with_field_past_header(whole).bytes);
  const std::string note = "录制未正常结束（bag 没有索引），已按数据块检查";
  const struct {
    std::string path;
    std::string note;
  } cases[] = {{bag("stopped.bag"), note},
               {bag("cut.bag"), note},
               {bag("field-past-header.bag"),
                note + "，末尾 " + std::to_string(whole.size() - index.pos) + " 字节无法读取"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const ProcessResult r = run_node({"--bag", c.path, "--min_points", "1"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const std::vector<std::string> lines =
        drone_test::without_progress_steps(drone_test::split_lines(r.out), "正在检查");
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], start_line(c.path));
    if (c.path == bag("cut.bag")) {
      // The cut lands in the last chunk's index records: every frame is read, the cut record
      // is lost.
      EXPECT_NE(lines[1].find(note + "，末尾 "), std::string::npos) << lines[1];
      EXPECT_NE(lines[1].find(" 字节无法读取"), std::string::npos) << lines[1];
      EXPECT_NE(lines[3].find("\"total_frames\":"), std::string::npos) << lines[3];
    } else {
      EXPECT_EQ(lines[1], drone_test::progress_line(50, c.note));
      EXPECT_NE(lines[3].find("\"total_frames\":12,"), std::string::npos) << lines[3];
    }
    EXPECT_EQ(lines[2], drone_test::progress_line(50, "验证完成，正在生成报告..."));
  }
}

// A bag that would make the bag library read out of bounds while opening it or reading a frame,
// and an input that is not a regular file (a FIFO without a writer must not block), end the
// program with status 1 and the fault named.
TEST_F(ScancheckNodeTest, DamagedOrNonRegularInputEndsWithStatusOne) {
  BagBuilder(bag("whole.bag")).frame(ros::Time(1), level_points(50)).frame(ros::Time(2), {});
  drone_test::write_damage_recording(bag("mixed.bag"));
  // Of the damaged index records, those after a chunk fail the check; a damaged index section
  // is read past (see InterruptedRecordingIsCheckedWithANote).
  std::vector<drone_test::OpenCrashCase> cases;
  for (drone_test::OpenCrashCase& c :
       drone_test::open_crash_cases(drone_test::read_file(bag("whole.bag")))) {
    if (c.reason.rfind("index entry", 0) == 0) cases.push_back(std::move(c));
  }
  for (drone_test::OpenCrashCase& c :
       drone_test::read_crash_cases(drone_test::read_file(bag("mixed.bag")))) {
    cases.push_back(std::move(c));
  }
  std::vector<std::pair<std::string, std::string>> inputs;  // path, fault
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string path = bag("damaged" + std::to_string(i) + ".bag");
    drone_test::write_file(path, cases[i].bytes);
    inputs.emplace_back(path, cases[i].reason);
  }
  for (const drone_test::NonRegularFile& f : drone_test::non_regular_files(dir_)) {
    inputs.emplace_back(f.path, f.path + " is not a regular file (" + f.kind + ")");
  }
  for (const auto& input : inputs) {
    SCOPED_TRACE(input.first);
    // A program that blocks is stopped after 60 seconds and fails the test with status 124.
    const ProcessResult r = drone_test::run_process(
        {"/usr/bin/timeout", "60", drone_test::program_path(kProgram), "--bag", input.first}, {},
        {"DRONE_TASK_PROGRESS_URL"});
    EXPECT_EQ(r.exit_code, 1);
    const std::string error = "Bag validation failed: " + input.second;
    EXPECT_EQ(r.err, "[ERROR] " + error + "\n");
    const std::vector<std::string> expected = {start_line(input.first),
                                               drone_test::error_line(error)};
    EXPECT_EQ(drone_test::split_lines(r.out), expected);
  }
}

// Random changes of 1 to 8 bytes inside the chunks of plain, bz2 and lz4 recordings: every
// changed bag either fails with status 1 and the error report, or is checked, and then its bytes
// hold every record the index points at. DRONE_BAG_MUTANTS sets the number of changed bags per
// storage kind; the figures are printed.
TEST_F(ScancheckNodeTest, ChangedChunkBytesFailCleanlyOrAreRead) {
  const uint32_t mutants = drone_test::bag_mutant_count();
  const std::pair<const char*, rosbag::compression::CompressionType> kinds[] = {
      {"plain", rosbag::compression::Uncompressed},
      {"bz2", rosbag::compression::BZ2},
      {"lz4", rosbag::compression::LZ4}};
  for (const auto& kind : kinds) {
    drone_test::write_damage_recording(bag("whole.bag"), kind.second, 3);
    const std::string whole = drone_test::read_file(bag("whole.bag"));
    uint32_t failed = 0, checked = 0, other = 0;
    for (uint32_t seed = 1; seed <= mutants; ++seed) {
      SCOPED_TRACE(std::string(kind.first) + ", seed " + std::to_string(seed));
      const std::string changed = drone_test::with_chunk_bytes_changed(whole, seed);
      drone_test::write_file(bag(), changed);
      const ProcessResult r = run_node({"--bag", bag()});
      const std::vector<std::string> err = drone_test::split_lines(r.err);
      if (r.exit_code == 1 && !err.empty() &&
          err.back().rfind("[ERROR] Bag validation failed: ", 0) == 0 &&
          r.err.find("Sanitizer") == std::string::npos &&
          r.err.find("runtime error") == std::string::npos) {
        ++failed;
        continue;
      }
      if (r.exit_code == 0) {
        ++checked;
        EXPECT_NO_THROW(drone_test::indexed_messages(changed)) << "read what the bytes do not hold";
        continue;
      }
      ++other;
      ADD_FAILURE() << "status " << r.exit_code << ", signal " << r.signal << ": " << r.err;
    }
    std::cout << "changed " << kind.first << " bags: " << mutants << " mutants, " << failed
              << " failed cleanly, " << checked << " checked, " << other
              << " crashed or failed without the report\n";
  }
}

TEST_F(ScancheckNodeTest, HelpNamesEveryOptionAndRunsNothing) {
  const ProcessResult r = run_node({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  for (const char* word : {"--bag", "--topic", "/livox/lidar", "--interval", "--tolerance",
                           "--min_points", "1000", "--min_elevation", "-8", "--max_elevation", "60",
                           "anomaly_rate", "DRONE_TASK_PROGRESS_URL", "Exit status"}) {
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  }
  for (const std::string& line : drone_test::split_lines(r.out)) {
    EXPECT_NE(line.rfind("{\"_progress\"", 0), 0u) << "no report is sent: " << line;
  }
}

}  // namespace
