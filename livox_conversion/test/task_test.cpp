#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "bag_fixtures.h"
#include "framework/escape_json.h"
#include "framework/params.h"
#include "framework/reporter.h"
#include "livox_to_pc2_task.h"
#include "testing/bag_bytes.h"
#include "testing/bags.h"
#include "testing/output_paths.h"
#include "testing/process.h"
#include "testing/task_run.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using drone_test::TempDir;

using drone_test::TaskRun;

// The run's lines without the conversion's intermediate progress lines, which a slow build may
// print.
TaskRun run_task(const drone_task::ParamMap& options) {
  TaskRun run = drone_test::run_task<LivoxToPc2Task>(options);
  run.lines = drone_test::without_progress_steps(std::move(run.lines), "正在转换");
  return run;
}

std::string progress(int percent, const std::string& message) {
  return drone_test::progress_line(percent, drone_task::escape_json(message));
}

std::string final_line(const std::string& document, bool failed) {
  return drone_test::final_line(failed ? "任务失败" : "任务完成", document);
}

TEST(LivoxToPc2Task, ReportsTheConversion) {
  TempDir dir;
  cloudconv_test::write_small_recording(dir.file("flight.bag"));
  const TaskRun run = run_task({{"input_bag", dir.file("flight.bag")},
                                {"output_bag", dir.file("clouds.bag")},
                                {"source_topic", "/livox/lidar"},
                                {"target_topic", "/cloud"}});
  EXPECT_EQ(run.error, "");
  const std::string doc = "{\"success\":true,\"input_bag\":\"" + dir.file("flight.bag") +
                          "\",\"output_bag\":\"" + dir.file("clouds.bag") +
                          "\",\"source_topic\":\"/livox/lidar\",\"target_topic\":\"/cloud\","
                          "\"total_messages\":3,\"converted_messages\":2,\"copied_messages\":1,"
                          "\"total_points\":8}";
  const std::vector<std::string> expected = {
      progress(0, "开始转换: " + dir.file("flight.bag") + " -> " + dir.file("clouds.bag")),
      progress(50, "转换完成，正在生成报告..."),
      progress(100, "任务完成，共转换 2 帧，8 点"),
      final_line(doc, false),
  };
  EXPECT_EQ(run.lines, expected);
  const auto out = drone_test::read_all(dir.file("clouds.bag"));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].topic, "/cloud");
}

TEST(LivoxToPc2Task, DerivesTheOutputPathFromTheInput) {
  struct Case {
    std::string input;
    std::string output_option;  // "<absent>" leaves the option out
    std::string expected_output;
  };
  const std::vector<Case> cases = {
      {"/data/a.bag", "<absent>", "/data/a_pc2.bag"},
      {"/data/a.bag", "", "/data/a_pc2.bag"},
      {"/data/a.bag", "None", "/data/a_pc2.bag"},
      {"/data/a.bag", "none", "none"},
      {"/data/a.bagfile", "<absent>", "/data/a.bagfile_pc2.bag"},
      {"/x.bag.orig", "<absent>", "/x.bag.orig_pc2.bag"},
      {"/data/a", "<absent>", "/data/a_pc2.bag"},
      {"/data/a.BAG", "None", "/data/a.BAG_pc2.bag"},
      {"/data/a.bag.bag", "<absent>", "/data/a.bag_pc2.bag"},
      {".bag", "<absent>", "_pc2.bag"},
      {"", "<absent>", "_pc2.bag"},
      {"/data/out.bag", "/elsewhere/b.bag", "/elsewhere/b.bag"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input + " / " + c.output_option);
    drone_task::ParamMap options = {{"input_bag", c.input}};
    if (c.output_option != "<absent>") options["output_bag"] = c.output_option;
    // None of these inputs exists: the run fails after announcing its paths, writing nothing.
    const TaskRun run = run_task(options);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines[0], progress(0, "开始转换: " + c.input + " -> " + c.expected_output));
    EXPECT_EQ(run.error.rfind("Bag conversion failed: ", 0), 0u);
    EXPECT_FALSE(fs::exists(c.expected_output));
  }
}

TEST(LivoxToPc2Task, WritesTheDerivedOutputBesideTheInput) {
  TempDir dir;
  cloudconv_test::write_small_recording(dir.file("flight.bag"));
  const TaskRun run = run_task({{"input_bag", dir.file("flight.bag")}, {"output_bag", "None"}});
  EXPECT_EQ(run.error, "");
  EXPECT_EQ(drone_test::read_all(dir.file("flight_pc2.bag")).size(), 3u);
}

// The task only throws; the entry writes the failure document from the exception (the lines
// the program prints are checked in cli_test.cpp).
TEST(LivoxToPc2Task, FailureThrowsTheErrorForTheEntryToAnnounce) {
  TempDir dir;
  // Quote, backslash and tab in the path reach the error text unescaped.
  const std::string missing = dir.file("no\"such\\bag\t.bag");
  const TaskRun run = run_task({{"input_bag", missing}});
  ASSERT_EQ(run.lines.size(), 1u);
  EXPECT_EQ(run.lines[0], progress(0, "开始转换: " + missing + " -> " +
                                          missing.substr(0, missing.size() - 4) + "_pc2.bag"));
  EXPECT_TRUE(run.failure_with_result);
  EXPECT_EQ(run.error.rfind("Bag conversion failed: ", 0), 0u);
  EXPECT_NE(run.error.find(missing), std::string::npos) << run.error;
}

// A point_fields list that does not read fails before any report and before the output is
// made, naming the fields there are; one that reads gives the reports of a run without it.
TEST(LivoxToPc2Task, PointFieldsAreCheckedBeforeAnythingIsWritten) {
  TempDir dir;
  cloudconv_test::write_small_recording(dir.file("flight.bag"));
  const std::string known = "；可用字段: x, y, z, intensity, tag, ring, time, timestamp";
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"", "参数 --point_fields 不能为空" + known},
      {"x,y,z,,ring", "参数 --point_fields 含有空的字段名" + known},
      {"x,y,z,intensity,rings", "参数 --point_fields 含有未知字段 \"rings\"" + known},
      {"ring,time,ring", "参数 --point_fields 中字段 \"ring\" 重复" + known},
      // What the option gives when it is written without a value.
      {"true", "参数 --point_fields 含有未知字段 \"true\"" + known},
  };
  for (const auto& [list, error] : refused) {
    SCOPED_TRACE("list \"" + list + "\"");
    const TaskRun run = run_task({{"input_bag", dir.file("flight.bag")},
                                  {"output_bag", dir.file("clouds.bag")},
                                  {"point_fields", list}});
    EXPECT_TRUE(run.threw);
    EXPECT_EQ(run.error, error);
    EXPECT_TRUE(run.lines.empty());
    EXPECT_EQ(drone_test::dir_entries(dir.path()), std::vector<std::string>{"flight.bag"});
  }

  const TaskRun plain =
      run_task({{"input_bag", dir.file("flight.bag")}, {"output_bag", dir.file("plain.bag")}});
  const TaskRun run = run_task({{"input_bag", dir.file("flight.bag")},
                                {"output_bag", dir.file("plain.bag")},
                                {"point_fields", "x,y,z,intensity,ring,time"}});
  EXPECT_EQ(run.error, "");
  EXPECT_EQ(run.lines, plain.lines);
  EXPECT_EQ(drone_test::read_all(dir.file("plain.bag")).size(), 3u);
}

TEST(LivoxToPc2Task, EscapesPathsAndTopicsInTheDocument) {
  TempDir dir;
  const std::string in = dir.file("q\"b\\.bag");
  cloudconv_test::write_small_recording(in);
  const TaskRun run = run_task({{"input_bag", in}, {"target_topic", "/a\"b"}});
  EXPECT_EQ(run.error, "");
  ASSERT_EQ(run.lines.size(), 4u);
  const std::string escaped_dir = drone_task::escape_json(dir.path());
  EXPECT_NE(run.lines[3].find("\"input_bag\":\"" + escaped_dir + "/q\\\"b\\\\.bag\""),
            std::string::npos)
      << run.lines[3];
  EXPECT_NE(run.lines[3].find("\"output_bag\":\"" + escaped_dir + "/q\\\"b\\\\_pc2.bag\""),
            std::string::npos)
      << run.lines[3];
  EXPECT_NE(run.lines[3].find("\"target_topic\":\"/a\\\"b\""), std::string::npos);
}

TEST(LivoxToPc2Task, ABagWithoutFramesStillSucceeds) {
  TempDir dir;
  const TaskRun run =
      run_task({{"input_bag", drone_test::fixture_path("bags/fake_sensors_sample.bag")},
                {"output_bag", dir.file("out.bag")}});
  EXPECT_EQ(run.error, "");
  ASSERT_EQ(run.lines.size(), 4u);
  EXPECT_EQ(run.lines[2], progress(100, "任务完成，共转换 0 帧，0 点"));
  EXPECT_NE(run.lines[3].find("\"total_messages\":20,\"converted_messages\":0,"
                              "\"copied_messages\":20,\"total_points\":0}"),
            std::string::npos)
      << run.lines[3];
}

// A recording that was not closed, whole or cut inside its last chunk, or whose index leaves a
// chunk out, is converted from its chunks; a progress line says how it was read and how many
// bytes at the end could not be.
TEST(LivoxToPc2Task, SaysWhenTheRecordingWasReadFromItsChunks) {
  TempDir dir;
  {
    drone_test::BagBuilder bag(dir.file("whole.bag"), rosbag::compression::Uncompressed, 256);
    for (uint32_t i = 0; i < 6; ++i) bag.frame(ros::Time(100 + i, 0), {{1, 2, 3}, {4, 5, 6}});
  }
  const std::string whole = drone_test::read_file(dir.file("whole.bag"));
  const std::string unclosed = drone_test::as_unclosed_recording(whole);
  const std::vector<drone_test::BagRecord> records = drone_test::bag_records(whole);
  const drone_test::BagRecord last =
      *std::find_if(records.rbegin(), records.rend(),
                    [](const drone_test::BagRecord& r) { return r.op == drone_test::kOpChunk; });
  const size_t cut = last.data_pos + last.data_len - 7;  // inside the last chunk's frame
  // That frame's record, whose 38 header bytes (conn, op, time) and their length word come
  // before its data length word, is the part that cannot be read.
  const size_t last_record = drone_test::message_length_fields(whole).back() - 4 - 38;
  struct Case {
    const char* name;
    std::string bytes;
    std::string note;
    int frames;
  };
  const std::vector<Case> cases = {
      {"not closed", unclosed, "录制未正常结束（bag 没有索引），已按数据块转换", 6},
      {"cut", unclosed.substr(0, cut),
       "录制未正常结束（bag 没有索引），已按数据块转换，末尾 " + std::to_string(cut - last_record) +
           " 字节无法读取",
       5},
      {"index leaves a chunk out", drone_test::without_chunk_info(whole, 2),
       "bag 的索引不完整，已按数据块转换", 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    drone_test::write_file(dir.file("in.bag"), c.bytes);
    const TaskRun run =
        run_task({{"input_bag", dir.file("in.bag")}, {"output_bag", dir.file("out.bag")}});
    EXPECT_EQ(run.error, "");
    ASSERT_EQ(run.lines.size(), 5u);
    EXPECT_EQ(run.lines[1], progress(50, c.note));
    EXPECT_EQ(run.lines[2], progress(50, "转换完成，正在生成报告..."));
    EXPECT_EQ(run.lines[3], progress(100, "任务完成，共转换 " + std::to_string(c.frames) + " 帧，" +
                                              std::to_string(2 * c.frames) + " 点"));
    EXPECT_EQ(drone_test::read_all(dir.file("out.bag")).size(), static_cast<size_t>(c.frames));
  }
}

}  // namespace
