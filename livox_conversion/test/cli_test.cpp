// cloudconv_node run as a process, as the supervising program starts it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "bag_fixtures.h"
#include "framework/escape_json.h"
#include "testing/bag_bytes.h"
#include "testing/bags.h"
#include "testing/process.h"
#include "testing/task_run.h"
#include "testing/temp_dir.h"

namespace {

using drone_test::run_program;
using drone_test::TempDir;

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
  EXPECT_EQ(drone_test::split_lines(r.out), expected);
  EXPECT_EQ(drone_test::read_all(out).size(), 3u);
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
  EXPECT_EQ(drone_test::split_lines(r.out), expected);
  EXPECT_EQ(drone_test::read_file(in), before);
}

TEST(CloudconvNode, MissingInputEndsWithStatusOne) {
  TempDir dir;
  const auto r = run_program("cloudconv_node", {});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind("[ERROR] Bag conversion failed: ", 0), 0u) << r.err;
  const auto lines = drone_test::split_lines(r.out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(
      lines[0],
      "{\"_progress\":{\"percent\":0,\"message\":\"开始转换:  -> _pc2.bag\",\"metadata\":{}}}");
  EXPECT_NE(lines[1].find("\"result\":{\"success\":false,\"error\":\"Bag conversion failed: "),
            std::string::npos);
}

// A bag whose index would make the bag library read out of bounds ends the program like any
// input that cannot be opened: status 1, no signal, the damage named, no output bag.
TEST(CloudconvNode, DamagedIndexEndsWithStatusOne) {
  TempDir dir;
  cloudconv_test::write_small_recording(dir.file("flight.bag"));
  const std::string good = drone_test::read_file(dir.file("flight.bag"));
  const std::string in = dir.file("damaged.bag");
  const std::string out = dir.file("damaged_pc2.bag");
  for (const drone_test::OpenCrashCase& c : drone_test::open_crash_cases(good)) {
    SCOPED_TRACE(c.name);
    drone_test::write_file(in, c.bytes);
    const auto r = run_program("cloudconv_node", {"--input_bag", in});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 1);
    const std::string error = "Bag conversion failed: " + c.reason;
    EXPECT_EQ(r.err, "[ERROR] " + error + "\n");
    const auto lines = drone_test::split_lines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), drone_test::error_line(error));
    EXPECT_FALSE(std::filesystem::exists(out));
  }
}

TEST(CloudconvNode, HelpDescribesTheProgram) {
  const auto r = run_program("cloudconv_node", {"--help"});
  EXPECT_EQ(r.exit_code, 0);
  for (const char* word :
       {"--input_bag", "--output_bag", "--source_topic", "--target_topic", "/livox/lidar",
        "/livox/points", "None", "DRONE_TASK_PROGRESS_URL", "total_points", "Exit status"}) {
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  }
}

}  // namespace
