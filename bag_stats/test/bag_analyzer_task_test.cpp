#include "bag_analyzer_task.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bag_writer.h"
#include "testing/bag_bytes.h"
#include "testing/locale.h"
#include "testing/process.h"
#include "testing/task_run.h"
#include "testing/temp_dir.h"

namespace {

using bagstat_test::TestMessage;
using K = TestMessage::Kind;

drone_test::TaskRun run_task(const drone_task::ParamMap& options) {
  return drone_test::run_task<BagAnalyzerTask>(options);
}

const char kStart[] = R"({"_progress":{"percent":0,"message":"开始解析 bag 文件","metadata":{}}})";
const char kCounted[] =
    R"({"_progress":{"percent":50,"message":"正在统计 topic 帧数...","metadata":{}}})";

std::string final_line(const std::string& document) {
  return drone_test::final_line("任务完成", document);
}

TEST(BagAnalyzerTask, ReportsStartCountAndTheDocument) {
  drone_test::TempDir dir;
  const std::string path = dir.file("several.bag");
  bagstat_test::write_bag(path, bagstat_test::several_topics());
  const drone_test::TaskRun run = run_task({{"bag", path}});
  ASSERT_EQ(run.error, "");
  // Names and types as they must appear in the document, already escaped.
  const auto entry = [](const std::string& name, int count, const std::string& type) {
    return R"({"name":")" + name + R"(","count":)" + std::to_string(count) + R"(,"msg_type":")" +
           type + R"("})";
  };
  const std::string s = "std_msgs/String";
  const std::string document = R"({"topics":[)" + entry("/B", 1, s) + "," + entry("/Z", 2, s) +
                               "," + entry("/_", 1, s) + "," + entry("/a", 4, "std_msgs/Int32") +
                               "," + entry("/a/long", 2, s) + "," + entry("/b", 3, s) + "," +
                               entry(R"(/back\\slash)", 1, s) + "," +
                               entry(R"(/ctl\u0001z)", 1, s) + "," + entry(R"(/nl\nx)", 1, s) +
                               "," + entry(R"(/q\"uote)", 1, s) + "," + entry("/点云", 2, s) +
                               R"(],"total_messages":19,"duration_seconds":35.75})";
  const std::vector<std::string> expected = {kStart, kCounted, final_line(document)};
  EXPECT_EQ(run.lines, expected);
}

// The duration is printed with two decimals as fixed notation rounds the stored double.
TEST(BagAnalyzerTask, DurationHasTwoDecimals) {
  struct Case {
    ros::Time first;
    ros::Time last;
    const char* printed;
  };
  const Case cases[] = {
      {ros::Time(10, 0), ros::Time(10, 0), "0.00"},
      {ros::Time(10, 0), ros::Time(1244, 567800000), "1234.57"},
      {ros::Time(1, 0), ros::Time(2, 5000000), "1.00"},  // 1.0049999... below 1.005
      {ros::Time(7, 0), ros::Time(7, 4999999), "0.00"},
      {ros::Time(7, 0), ros::Time(7, 5000001), "0.01"},
      {ros::Time(1600000000, 0), ros::Time(1600086400, 999000000), "86401.00"},
  };
  for (const Case& c : cases) {
    drone_test::TempDir dir;
    const std::string path = dir.file("d.bag");
    std::vector<TestMessage> messages = {{"/t", c.first, K::kInt32, ""}};
    if (c.last != c.first) messages.push_back({"/t", c.last, K::kInt32, ""});
    bagstat_test::write_bag(path, messages);
    const drone_test::TaskRun run = run_task({{"bag", path}});
    ASSERT_EQ(run.error, "") << c.printed;
    ASSERT_EQ(run.lines.size(), 3u) << c.printed;
    const std::string document =
        R"({"topics":[{"name":"/t","count":)" + std::to_string(messages.size()) +
        R"(,"msg_type":"std_msgs/Int32"}],"total_messages":)" + std::to_string(messages.size()) +
        R"(,"duration_seconds":)" + c.printed + "}";
    EXPECT_EQ(run.lines[2], final_line(document));
  }
}

// Counts and the duration keep their plain form whatever global locale the process runs under
// (digit grouping and a decimal comma here).
TEST(BagAnalyzerTask, NumbersKeepTheirFormatUnderAnyGlobalLocale) {
  drone_test::TempDir dir;
  const std::string path = dir.file("long.bag");
  std::vector<TestMessage> messages;
  for (uint32_t i = 0; i < 1200; ++i) {
    messages.push_back({"/t", ros::Time(5000 + i, 0), K::kInt32, ""});
  }
  messages.push_back({"/t", ros::Time(6234, 567800000), K::kInt32, ""});
  bagstat_test::write_bag(path, messages);

  drone_test::TaskRun run;
  {
    const drone_test::GlobalLocale commas(drone_test::grouping_comma_locale());
    run = run_task({{"bag", path}});
  }
  ASSERT_EQ(run.error, "");
  ASSERT_EQ(run.lines.size(), 3u);
  EXPECT_EQ(run.lines[2], final_line(R"({"topics":[{"name":"/t","count":1201,)"
                                     R"("msg_type":"std_msgs/Int32"}],"total_messages":1201,)"
                                     R"("duration_seconds":1234.57})"));
}

TEST(BagAnalyzerTask, EmptyBagGivesEmptyTopicsAndZeroDuration) {
  drone_test::TempDir dir;
  const std::string path = dir.file("empty.bag");
  bagstat_test::write_bag(path, {});
  const drone_test::TaskRun run = run_task({{"bag", path}});
  ASSERT_EQ(run.error, "");
  const std::vector<std::string> expected = {
      kStart, kCounted, final_line(R"({"topics":[],"total_messages":0,"duration_seconds":0.00})")};
  EXPECT_EQ(run.lines, expected);
}

// A recording that was not closed, and an index that leaves chunks out, are counted from the
// chunks, and a line before the count says so; the document is the intact bag's.
TEST(BagAnalyzerTask, CountsFromTheChunksAreAnnounced) {
  drone_test::TempDir dir;
  std::vector<TestMessage> messages;
  messages.reserve(40);
  for (int i = 0; i < 40; ++i) messages.push_back({"/t", ros::Time(5 + i, 0), K::kInt32, ""});
  bagstat_test::write_bag(dir.file("whole.bag"), messages, rosbag::compression::Uncompressed, 256);
  const drone_test::TaskRun whole = run_task({{"bag", dir.file("whole.bag")}});
  ASSERT_EQ(whole.lines.size(), 3u) << whole.error;
  const std::string bytes = drone_test::read_file(dir.file("whole.bag"));
  const struct {
    std::string bytes;
    std::string note;
  } cases[] = {
      {drone_test::as_unclosed_recording(bytes), "录制未正常结束（bag 没有索引），已按数据块统计"},
      {drone_test::without_chunk_info(bytes, 1), "bag 的索引不完整，已按数据块统计"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    drone_test::write_file(dir.file("read.bag"), c.bytes);
    const drone_test::TaskRun run = run_task({{"bag", dir.file("read.bag")}});
    const std::vector<std::string> expected = {kStart, drone_test::progress_line(50, c.note),
                                               kCounted, whole.lines[2]};
    EXPECT_EQ(run.lines, expected) << run.error;
  }
}

TEST(BagAnalyzerTask, MissingBagOptionThrowsBeforeAnyReport) {
  for (const drone_task::ParamMap& options :
       {drone_task::ParamMap{}, drone_task::ParamMap{{"bag", ""}},
        drone_task::ParamMap{{"input_bag", "/x.bag"}}}) {
    const drone_test::TaskRun run = run_task(options);
    EXPECT_EQ(run.error, "缺少参数 --bag");
    EXPECT_TRUE(run.lines.empty());
  }
}

TEST(BagAnalyzerTask, UnopenableBagThrowsTheAnalyzersTextAfterTheStartReport) {
  drone_test::TempDir dir;
  const drone_test::TaskRun run = run_task({{"bag", dir.file("missing.bag")}});
  EXPECT_EQ(run.error.rfind("无法打开 bag 文件: ", 0), 0u) << run.error;
  const std::vector<std::string> expected = {kStart};
  EXPECT_EQ(run.lines, expected);
}

TEST(BagAnalyzerTask, EscapesLikeTheSuite) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"/plain/topic", "/plain/topic"},
      {"a\"b", "a\\\"b"},
      {"a\\b", "a\\\\b"},
      {"\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
      {std::string("a\x01"
                   "b\x1f",
                   4),
       "a\\u0001b\\u001f"},
      {std::string("\0", 1), "\\u0000"},
      {"/点云/x\x7f", "/点云/x\x7f"},
      {"a/b", "a/b"},
  };
  for (const auto& c : cases) EXPECT_EQ(BagAnalyzerTask::escape_json(c.first), c.second);
}

}  // namespace
