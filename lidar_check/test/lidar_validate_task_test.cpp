#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "elevation.h"
#include "framework/params.h"
#include "framework/reporter.h"
#include "framework/task.h"
#include "lidar_validate_task.h"
#include "testing/bag_bytes.h"
#include "testing/bags.h"
#include "testing/locale.h"
#include "testing/process.h"
#include "testing/task_run.h"
#include "testing/temp_dir.h"

namespace {

using drone_test::BagBuilder;
using drone_test::XyzPoint;
using scancheck_test::level_points;
using scancheck_test::point_at_elevation;

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

using drone_test::TaskRun;

// One run of the task as the entry would make it, from the words of its command line, without
// the intermediate lines of the check (a slow build may print them).
TaskRun run_task(const std::vector<std::string>& words) {
  LidarValidateTask task;
  TaskRun run = drone_test::run_task(task, words);
  run.lines = drone_test::without_progress_steps(std::move(run.lines), "正在检查");
  return run;
}

// The result document carried by the final line of a successful run.
std::string document_of(const TaskRun& run) {
  EXPECT_FALSE(run.threw) << run.error;
  if (run.lines.size() != 3) {
    ADD_FAILURE() << "expected 3 report lines, got " << run.lines.size();
    return "";
  }
  std::string document = drone_test::document_of(run.lines[2]);
  EXPECT_EQ(run.lines[2], drone_test::final_line("任务完成", document));
  return document;
}

// The text of `key`'s value in a compact document, up to the next comma or closing bracket.
std::string value_of(const std::string& doc, const std::string& key) {
  const std::string needle = "\"" + key + "\":";
  const size_t at = doc.find(needle);
  if (at == std::string::npos) return "<absent>";
  const size_t from = at + needle.size();
  return doc.substr(from, doc.find_first_of(",]}", from) - from);
}

ros::Time at(uint32_t sec, uint32_t nsec = 0) { return ros::Time(sec, nsec); }

class LidarValidateTaskTest : public ::testing::Test {
 protected:
  std::string bag(const std::string& name = "in.bag") const { return dir_.file(name); }
  drone_test::TempDir dir_;
};

TEST_F(LidarValidateTaskTest, ReportsAndDocumentOfOneRun) {
  std::vector<XyzPoint> steep = level_points(4);
  steep.push_back(point_at_elevation(75.0));
  std::vector<XyzPoint> holes = level_points(5);
  for (int i = 0; i < 11; ++i) holes.push_back({kNan, 1.0f, 1.0f});
  BagBuilder(bag())
      .frame(at(100, 0), level_points(5))
      .frame(at(100, 100000000), level_points(4))  // too few points
      .text("status")                              // another type on the topic
      .frame(at(100, 250000000), steep)            // late, and one point too steep
      .frame(at(100, 350000000), holes)            // 11 NaN points
      .frame(at(100, 450000000), level_points(6))
      .frame(at(100, 550000000), level_points(1), "/other");

  const TaskRun run = run_task({"--bag", bag(), "--min_points", "5"});
  ASSERT_FALSE(run.threw) << run.error;
  ASSERT_EQ(run.lines.size(), 3u);
  EXPECT_EQ(run.lines[0], "{\"_progress\":{\"percent\":0,\"message\":\"开始验证 bag 文件: " +
                              bag() + "\",\"metadata\":{}}}");
  EXPECT_EQ(run.lines[1],
            "{\"_progress\":{\"percent\":50,\"message\":\"验证完成，正在生成报告...\","
            "\"metadata\":{}}}");
  EXPECT_EQ(run.lines[2],
            drone_test::final_line(
                "任务完成",
                "{\"bag_file\":\"" + bag() +
                    "\",\"topic\":\"/livox/lidar\",\"total_frames\":5,\"anomaly_frames\":1,"
                    "\"low_point_frames\":1,\"high_nan_frames\":1,\"invalid_angle_frames\":1,"
                    "\"avg_points\":7.20,\"avg_interval_ms\":112.50,\"min_interval_ms\":100.00,"
                    "\"max_interval_ms\":150.00,\"anomaly_rate\":25.00,\"anomalies\":["
                    "{\"frame\":2,\"time\":100.10,\"points\":4,\"nan\":0,\"invalid_angle\":0,"
                    "\"interval_ms\":100.00,\"interval_anomaly\":false},"
                    "{\"frame\":3,\"time\":100.25,\"points\":5,\"nan\":0,\"invalid_angle\":1,"
                    "\"interval_ms\":150.00,\"interval_anomaly\":true},"
                    "{\"frame\":4,\"time\":100.35,\"points\":16,\"nan\":11,\"invalid_angle\":0,"
                    "\"interval_ms\":100.00,\"interval_anomaly\":false}]}"));
}

// A recording that was not closed, and one whose index leaves a chunk out, are checked in full
// with a line that says how they were read.
TEST_F(LidarValidateTaskTest, RecordingsReadByWalkingTheirChunksAreNoted) {
  {
    BagBuilder b(bag("whole.bag"), rosbag::compression::BZ2, 512);
    for (uint32_t i = 0; i < 10; ++i) b.frame(at(100, i * 100000000), level_points(20));
  }
  const std::string whole = drone_test::read_file(bag("whole.bag"));
  const TaskRun intact = run_task({"--bag", bag("whole.bag"), "--min_points", "1"});
  const std::string expected = document_of(intact);
  ASSERT_NE(value_of(expected, "total_frames"), "<absent>");
  const std::string in_place = drone_test::as_unclosed_recording(whole);
  const std::vector<drone_test::BagRecord> records = drone_test::bag_records(in_place);
  const drone_test::BagRecord last = records.back();  // the last chunk's last index record
  const drone_test::BagRecord chunk = drone_test::record_with_op(
      in_place, drone_test::kOpChunk,
      static_cast<size_t>(std::count_if(
          records.begin(), records.end(),
          [](const drone_test::BagRecord& r) { return r.op == drone_test::kOpChunk; })) -
          1);
  ASSERT_LT(chunk.pos, last.pos);
  const struct {
    const char* name;
    std::string bytes;
    std::string note;
    bool same;  // every frame read
  } cases[] = {
      {"index left out", drone_test::without_chunk_info(whole, 1),
       "bag 的索引不完整，已按数据块检查", true},
      {"not closed", in_place, "录制未正常结束（bag 没有索引），已按数据块检查", true},
      {"cut in the last chunk", in_place.substr(0, chunk.data_pos + 10),
       "录制未正常结束（bag 没有索引），已按数据块检查，末尾 " +
           std::to_string(chunk.data_pos + 10 - chunk.pos) + " 字节无法读取",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    drone_test::write_file(bag(), c.bytes);
    const TaskRun run = run_task({"--bag", bag(), "--min_points", "1"});
    ASSERT_FALSE(run.threw) << run.error;
    ASSERT_EQ(run.lines.size(), 4u);
    EXPECT_EQ(run.lines[1], drone_test::progress_line(50, c.note));
    EXPECT_EQ(run.lines[2], drone_test::progress_line(50, "验证完成，正在生成报告..."));
    const std::string document = drone_test::document_of(run.lines[3]);
    std::string same_bag = expected;
    same_bag.replace(same_bag.find(bag("whole.bag")), bag("whole.bag").size(), bag());
    if (c.same) {
      EXPECT_EQ(document, same_bag);
    } else {
      EXPECT_LT(std::stoi(value_of(document, "total_frames")),
                std::stoi(value_of(expected, "total_frames")));
    }
  }
}

TEST_F(LidarValidateTaskTest, DefaultsApplyWhenOnlyTheBagIsGiven) {
  // Each frame sits just inside or just outside one default: 1000 points, 100 +- 20 ms,
  // elevations from -8 to 60 degrees, topic /livox/lidar.
  std::vector<XyzPoint> inside = level_points(998);
  inside.push_back(point_at_elevation(-7.9));
  inside.push_back(point_at_elevation(59.9));
  std::vector<XyzPoint> too_low = level_points(999);
  too_low.push_back(point_at_elevation(-8.1));
  std::vector<XyzPoint> too_high = level_points(999);
  too_high.push_back(point_at_elevation(60.1));
  BagBuilder(bag())
      .frame(at(50, 0), level_points(1000))
      .frame(at(50, 119000000), level_points(999))   // 119 ms, one point short
      .frame(at(50, 240000000), level_points(1000))  // 121 ms
      .frame(at(50, 321000000), inside)              // 81 ms
      .frame(at(50, 400000000), too_low)             // 79 ms
      .frame(at(50, 500000000), too_high)
      .frame(at(50, 600000000), level_points(3), "/other");

  const std::string doc = document_of(run_task({"--bag", bag()}));
  EXPECT_EQ(value_of(doc, "topic"), "\"/livox/lidar\"");
  EXPECT_EQ(value_of(doc, "total_frames"), "6");
  EXPECT_EQ(value_of(doc, "low_point_frames"), "1");
  EXPECT_EQ(value_of(doc, "anomaly_frames"), "2");
  EXPECT_EQ(value_of(doc, "invalid_angle_frames"), "2");
  EXPECT_EQ(value_of(doc, "anomaly_rate"), "40.00");
  EXPECT_NE(doc.find("{\"frame\":2,"), std::string::npos);
  EXPECT_NE(doc.find("{\"frame\":3,"), std::string::npos);
  EXPECT_EQ(doc.find("{\"frame\":4,"), std::string::npos) << doc;
  EXPECT_NE(doc.find("{\"frame\":5,"), std::string::npos);
  EXPECT_NE(doc.find("{\"frame\":6,"), std::string::npos);
}

TEST_F(LidarValidateTaskTest, NegativeValuesReachTheValidator) {
  // Frames at -9, -9.5 and -1 degrees, stamped 100 ms and then 200 ms backwards.
  BagBuilder(bag())
      .frame(at(60, 0), {point_at_elevation(-9.0)})
      .frame(at(59, 900000000), {point_at_elevation(-9.5)})
      .frame(at(59, 700000000), {point_at_elevation(-1.0)});
  const std::vector<std::string> base = {"--bag", bag(), "--min_points", "1", "--tolerance", "5"};

  // With the defaults (-8 to 60 degrees, 100 ms) the first two frames are too low and both
  // intervals are anomalous.
  const std::string defaults = document_of(run_task(base));
  EXPECT_EQ(value_of(defaults, "invalid_angle_frames"), "2");
  EXPECT_EQ(value_of(defaults, "anomaly_frames"), "2");
  EXPECT_EQ(value_of(defaults, "min_interval_ms"), "-200.00");
  EXPECT_EQ(value_of(defaults, "max_interval_ms"), "0.00");

  for (const auto& words : std::vector<std::vector<std::string>>{
           {"--min_elevation", "-10", "--max_elevation", "-2", "--interval", "-100"},
           {"--min_elevation", "-1e1", "--max_elevation", "-2.0", "--interval", "-100.0"},
           {"--max_elevation", "-.2e1", "--interval", "-1E2", "--min_elevation", "-10.5"}}) {
    std::vector<std::string> all = base;
    all.insert(all.end(), words.begin(), words.end());
    SCOPED_TRACE(words[1] + " " + words[3] + " " + words[5]);
    const std::string doc = document_of(run_task(all));
    EXPECT_EQ(value_of(doc, "invalid_angle_frames"), "1") << "only the frame at -1 degrees";
    EXPECT_EQ(value_of(doc, "anomaly_frames"), "1") << "only the 200 ms step back";
    EXPECT_NE(doc.find("{\"frame\":3,\"time\":59.70,\"points\":1,\"nan\":0,\"invalid_angle\":1,"
                       "\"interval_ms\":-200.00,\"interval_anomaly\":true}"),
              std::string::npos)
        << doc;
  }
}

TEST_F(LidarValidateTaskTest, UnreadableNumbersFallBackToTheirDefaults) {
  BagBuilder(bag()).frame(at(5), level_points(999)).frame(at(5, 100000000), level_points(1000));
  for (const auto& words : std::vector<std::vector<std::string>>{
           {"--min_points", "abc"}, {"--min_points"}, {"--min_points", "99999999999"}}) {
    SCOPED_TRACE(words.size() > 1 ? words[1] : "(bare)");
    std::vector<std::string> all = {"--bag", bag()};
    all.insert(all.end(), words.begin(), words.end());
    const std::string doc = document_of(run_task(all));
    EXPECT_EQ(value_of(doc, "low_point_frames"), "1") << "the minimum of 1000 applies";
  }
}

TEST_F(LidarValidateTaskTest, MissingBagFailsBeforeAnyReport) {
  for (const auto& words : std::vector<std::vector<std::string>>{{}, {"--topic", "/x"}}) {
    SCOPED_TRACE(words.size());
    const TaskRun run = run_task(words);
    EXPECT_TRUE(run.threw);
    EXPECT_EQ(run.error, "缺少参数 --bag");
    EXPECT_TRUE(run.lines.empty());
  }
}

TEST_F(LidarValidateTaskTest, ValidationFailureThrowsAfterTheFirstReport) {
  drone_test::write_file(bag("junk.bag"), "#ROSBAG V2.0\nnot really a bag");
  for (const std::string& path : {bag("absent.bag"), bag("junk.bag")}) {
    SCOPED_TRACE(path);
    const TaskRun run = run_task({"--bag", path});
    EXPECT_TRUE(run.threw);
    EXPECT_EQ(run.error.rfind("Bag validation failed: ", 0), 0u) << run.error;
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_NE(run.lines[0].find("\"percent\":0,"), std::string::npos);
  }
}

TEST_F(LidarValidateTaskTest, TextsAreEscapedInTheDocument) {
  const std::string dir = dir_.file("q\"b\\s");
  std::filesystem::create_directory(dir);
  const std::string path = dir + "/in.bag";
  BagBuilder(path).frame(at(1), level_points(3));
  const TaskRun run = run_task({"--bag", path, "--topic", "we\"ird\\topic\t"});
  const std::string doc = document_of(run);
  EXPECT_EQ(value_of(doc, "bag_file"), "\"" + dir_.path() + "/q\\\"b\\\\s/in.bag\"");
  EXPECT_EQ(value_of(doc, "topic"), "\"we\\\"ird\\\\topic\\t\"");
  EXPECT_EQ(value_of(doc, "total_frames"), "0");
  ASSERT_FALSE(run.lines.empty());
  EXPECT_NE(run.lines[0].find("bag 文件: " + dir_.path() + "/q\\\"b\\\\s/in.bag\""),
            std::string::npos)
      << run.lines[0];
}

TEST_F(LidarValidateTaskTest, AnomalyRateIsTheShareOfMeasuredIntervals) {
  struct Case {
    int frames;
    std::vector<int> late;  // frames that arrive 200 ms after the previous one
    const char* rate;
  };
  const Case cases[] = {{0, {}, "0.00"},       {1, {}, "0.00"},
                        {11, {4, 9}, "20.00"}, {4, {2}, "33.33"},
                        {3, {2, 3}, "100.00"}, {7, {2, 3, 4, 5, 6, 7}, "100.00"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frames);
    const std::string path = bag("rate" + std::to_string(c.frames) + ".bag");
    {
      BagBuilder b(path);
      uint64_t ns = 10000000000ULL;
      for (int i = 1; i <= c.frames; ++i) {
        bool late = false;
        for (int l : c.late) late = late || l == i;
        ns += late ? 200000000 : 100000000;
        b.frame(ros::Time().fromNSec(ns), level_points(2));
      }
      b.text("keeps the topic present");
    }
    const std::string doc = document_of(run_task({"--bag", path, "--min_points", "1"}));
    EXPECT_EQ(value_of(doc, "anomaly_rate"), c.rate);
    EXPECT_EQ(value_of(doc, "anomaly_frames"), std::to_string(c.late.size()));
  }
}

TEST_F(LidarValidateTaskTest, NumbersKeepTheirFormatUnderAnyGlobalLocale) {
  // A global locale with a decimal comma and digit grouping must not reach the document.
  BagBuilder b(bag());
  uint64_t ns = 7996000000ULL;  // 7.996 s: printed as 8.00
  for (int i = 0; i < 1500; ++i) {
    b.frame(ros::Time().fromNSec(ns), level_points(1));
    ns += i == 0 ? 1234567000ULL : 100000000ULL;
  }
  b.close();
  TaskRun run;
  {
    const drone_test::GlobalLocale commas(drone_test::grouping_comma_locale());
    run = run_task({"--bag", bag(), "--min_points", "2"});
  }
  const std::string doc = document_of(run);
  EXPECT_EQ(value_of(doc, "total_frames"), "1500");
  EXPECT_EQ(value_of(doc, "low_point_frames"), "1500");
  EXPECT_EQ(value_of(doc, "max_interval_ms"), "1234.57");
  EXPECT_EQ(value_of(doc, "avg_points"), "1.00");
  EXPECT_NE(doc.find("{\"frame\":1,\"time\":8.00,\"points\":1,"), std::string::npos) << doc;
}

}  // namespace
