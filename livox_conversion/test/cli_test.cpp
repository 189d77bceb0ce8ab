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
#include "testing/output_paths.h"
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
  for (const char* word :
       {"--input_bag", "--output_bag", "--source_topic", "--target_topic", "/livox/lidar",
        "/livox/points", "None", "DRONE_TASK_PROGRESS_URL", "total_points", "Exit status"}) {
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  }
}

}  // namespace
