#include "scan2fullpcd_task.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "framework/params.h"
#include "framework/reporter.h"
#include "testing/locale.h"
#include "testing/process.h"
#include "testing/task_run.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// An ASCII keyframe of `points` points with x y z intensity.
std::string keyframe(int points, int base) {
  std::string text =
      "# .PCD v0.7\nVERSION 0.7\nFIELDS x y z intensity\nSIZE 4 4 4 4\n"
      "TYPE F F F F\nCOUNT 1 1 1 1\nWIDTH " +
      std::to_string(points) + "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " +
      std::to_string(points) + "\nDATA ascii\n";
  for (int p = 0; p < points; ++p) {
    const std::string v = std::to_string(base + p);
    text += v + " " + v + " 0 " + v + "\n";
  }
  return text;
}

using drone_test::error_line;
using drone_test::final_line;
using drone_test::TaskRun;

std::string progress(int percent, const std::string& message) {
  return drone_test::progress_line(percent, message);
}

// The merge's intermediate lines depend on how long it runs; the tests look at the lines every
// run reports.
TaskRun run_task(const drone_task::ParamMap& options) {
  TaskRun run = drone_test::run_task<Scan2FullPcdTask>(options);
  run.lines = drone_test::without_progress_steps(std::move(run.lines), "正在合并关键帧");
  return run;
}

// A project directory with its keyframes in scan/.
struct Project {
  drone_test::TempDir tmp;
  std::string dir = tmp.file("site1");
  Project() {
    fs::create_directories(dir + "/scan");
    drone_test::write_file(dir + "/scan/10.pcd", keyframe(3, 10));
    drone_test::write_file(dir + "/scan/2.pcd", keyframe(9, 2));
  }
};

TEST(Scan2FullPcdTask, ReportsAMergeAndItsResult) {
  Project project;
  // Numbers written through a C++ stream would pick up digit grouping from this global locale;
  // the result document must not.
  const drone_test::GlobalLocale grouping(drone_test::grouping_comma_locale());
  const TaskRun run =
      run_task({{"input_dir", project.dir}, {"scan_dir", "None"}, {"output_pcd", "None"}});
  ASSERT_FALSE(run.threw) << run.error;
  const std::string scan = project.dir + "/scan";
  const std::string out = project.dir + "/site1_full.pcd";
  const std::vector<std::string> expected = {
      progress(0, "开始合并: " + scan + " -> " + out),
      progress(50, "合并完成，正在生成报告..."),
      progress(100, "任务完成，共合并 2 帧，12 点"),
      final_line("任务完成", "{\"success\":true,\"input_scan_dir\":\"" + scan +
                                 "\",\"output_pcd\":\"" + out +
                                 "\",\"keyframe_count\":2,\"total_points\":12}"),
  };
  EXPECT_EQ(run.lines, expected);
  EXPECT_NE(drone_test::read_file(out).find("\nPOINTS 12\n"), std::string::npos);
}

TEST(Scan2FullPcdTask, RefusesToRunWithoutADirectory) {
  const std::vector<drone_task::ParamMap> cases = {
      {},
      {{"scan_dir", "None"}},
      {{"scan_dir", ""}, {"input_dir", "None"}, {"output_pcd", "/tmp/x.pcd"}},
      {{"input_dir", ""}, {"output_pcd", "None"}},
  };
  // The task writes nothing and throws; the entry announces the failure document (see
  // ScanmergeNode.FailsWithoutADirectory).
  for (const drone_task::ParamMap& options : cases) {
    const TaskRun run = run_task(options);
    EXPECT_TRUE(run.threw);
    EXPECT_TRUE(run.failure_with_result);
    EXPECT_EQ(run.error, "必须指定 input_dir 或 scan_dir");
    EXPECT_EQ(run.lines, std::vector<std::string>{});
  }
}

TEST(Scan2FullPcdTask, HandsAFailedMergeOnUnescapedForTheEntryToAnnounce) {
  drone_test::TempDir tmp;
  const std::string scan = tmp.file("no\"such");
  const TaskRun run = run_task({{"scan_dir", scan}, {"output_pcd", tmp.file("o.pcd")}});
  const std::string escaped = tmp.file("no\\\"such");
  EXPECT_TRUE(run.threw);
  EXPECT_TRUE(run.failure_with_result);
  EXPECT_EQ(run.error, "扫描目录不存在: " + scan);
  const std::vector<std::string> expected = {
      progress(0, "开始合并: " + escaped + " -> " + tmp.file("o.pcd")),
  };
  EXPECT_EQ(run.lines, expected);
}

TEST(Scan2FullPcdTask, ChoosesTheScanDirectoryAndTheOutputPath) {
  drone_test::TempDir tmp;  // nothing in it: every merge fails after the first report
  const std::string p = tmp.file("p");
  const std::string s = tmp.file("s");
  struct Case {
    drone_task::ParamMap options;
    std::string scan_dir;
    std::string output;
  };
  const std::vector<Case> cases = {
      {{{"scan_dir", "None"}, {"input_dir", p}}, p + "/scan", p + "/p_full.pcd"},
      {{{"input_dir", p + "/"}, {"output_pcd", ""}}, p + "/scan", p + "/p_full.pcd"},
      {{{"scan_dir", s}, {"input_dir", p}}, s, s + "/s_full.pcd"},
      {{{"scan_dir", s + "/scan/"}, {"input_dir", p}}, s + "/scan/", s + "/s_full.pcd"},
      {{{"scan_dir", s}, {"output_pcd", "None"}}, s, s + "/s_full.pcd"},
      {{{"scan_dir", s}, {"output_pcd", tmp.file("o.pcd")}}, s, tmp.file("o.pcd")},
      {{{"input_dir", p}, {"output_pcd", "rel.pcd"}}, p + "/scan", "rel.pcd"},
  };
  for (const Case& c : cases) {
    const TaskRun run = run_task(c.options);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines[0], progress(0, "开始合并: " + c.scan_dir + " -> " + c.output));
    EXPECT_EQ(run.error, "扫描目录不存在: " + c.scan_dir);
  }
}

// The program as a supervisor starts it.
TEST(ScanmergeNode, MergesAProject) {
  Project project;
  const drone_test::ProcessResult r =
      drone_test::run_program("scanmerge_node", {"--input_dir", project.dir + "/"});
  const std::string scan = project.dir + "/scan";
  const std::string out = project.dir + "/site1_full.pcd";
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, progress(0, "开始合并: " + scan + " -> " + out) + "\n" +
                       progress(50, "合并完成，正在生成报告...") + "\n" +
                       progress(100, "任务完成，共合并 2 帧，12 点") + "\n" +
                       final_line("任务完成", "{\"success\":true,\"input_scan_dir\":\"" + scan +
                                                  "\",\"output_pcd\":\"" + out +
                                                  "\",\"keyframe_count\":2,\"total_points\":12}") +
                       "\n");
}

TEST(ScanmergeNode, FailsWithoutADirectory) {
  const drone_test::ProcessResult r =
      drone_test::run_program("scanmerge_node", {"--scan_dir", "None", "--output_pcd", "x.pcd"});
  const std::string text = "必须指定 input_dir 或 scan_dir";
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, final_line("任务失败", "{\"success\":false,\"error\":\"" + text + "\"}") + "\n" +
                       error_line(text) + "\n");
  EXPECT_EQ(r.err, "[ERROR] " + text + "\n");
}

TEST(ScanmergeNode, FailsOnAnUnreadableKeyframeWithOneErrorLine) {
  Project project;
  const std::string scan = project.dir + "/scan";
  const std::string bad = scan + "/7.pcd";
  drone_test::write_file(bad, "VERSION 0.7\nFIELDS x\nSIZE 4\nTYPE F\nWIDTH 5\nDATA binary\n");
  const std::string out = project.dir + "/site1_full.pcd";
  const drone_test::ProcessResult r =
      drone_test::run_program("scanmerge_node", {"--scan_dir", scan});
  const std::string text = "无法读取关键帧: " + bad + " (文件比头部声明的点数短)";
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, progress(0, "开始合并: " + scan + " -> " + out) + "\n" +
                       final_line("任务失败", "{\"success\":false,\"error\":\"" + text + "\"}") +
                       "\n" + error_line(text) + "\n");
  // Nothing from the point-cloud library: the error line is all there is.
  EXPECT_EQ(r.err, "[ERROR] " + text + "\n");
  EXPECT_FALSE(fs::exists(out));
}

}  // namespace
