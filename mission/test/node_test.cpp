// routecheck_node as a process: the whole standard output, standard error and exit status,
// path resolution from the real environment, and large input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "mission_text.h"
#include "testing/http_receiver.h"
#include "testing/process.h"
#include "testing/task_run.h"
#include "testing/temp_dir.h"

namespace {

using drone_test::ProcessResult;
using drone_test::run_process;
using drone_test::split_lines;
using mission_test::mission_of;
using mission_test::Waypoint;
using Lines = std::vector<std::string>;

ProcessResult run_node(const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& env_set = {},
                       const std::vector<std::string>& env_unset = {}) {
  return drone_test::run_program("routecheck_node", args, env_set, env_unset);
}

std::string start_line(const std::string& path) {
  return R"({"_progress":{"percent":0,"message":"开始验证: )" + path + R"(","metadata":{}}})";
}
const std::string kHalfLine =
    R"({"_progress":{"percent":50,"message":"验证完成，正在生成报告...","metadata":{}}})";
const std::string kPassedLine =
    R"({"_progress":{"percent":100,"message":"验证通过","metadata":{}}})";

using drone_test::final_line;

TEST(RoutecheckNode, ValidMission) {
  drone_test::TempDir dir;
  const std::string path = dir.file("ok.json");
  drone_test::write_file(
      path, mission_of({Waypoint(0, 15), Waypoint(1, 13), Waypoint(2, 20).set("p1", "-1.57"),
                        Waypoint(3, 14), Waypoint(4, 8)}));
  const ProcessResult r = run_node({"--mission-file", path});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(split_lines(r.out),
            (Lines{start_line(path), kHalfLine, kPassedLine,
                   final_line("任务完成",
                              R"({"success":true,"file":")" + path +
                                  R"(","waypoint_count":5,"valid":true,"error_count":0,)"
                                  R"("warning_count":0,"errors":[],"warnings":[],)"
                                  R"("action_summary":{"Land":1,"开始雷达录制":1,"旋转Yaw":1,)"
                                  R"("结束雷达录制":1,"起飞位置检查":1}})")}));
}

TEST(RoutecheckNode, WarningOnlyMissionPasses) {
  drone_test::TempDir dir;
  const std::string path = dir.file("warn.json");
  drone_test::write_file(path, mission_of({Waypoint(0, 1), Waypoint(1, 18).set("p1", "1")}));
  const ProcessResult r = run_node({"--mission-file", path});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(
      split_lines(r.out),
      (Lines{start_line(path), kHalfLine, kPassedLine,
             final_line("任务完成",
                        R"({"success":true,"file":")" + path +
                            R"(","waypoint_count":2,"valid":true,"error_count":0,)"
                            R"("warning_count":1,"errors":[],)"
                            R"("warnings":["航点[1] action=18(Detour/Jump) 的 p1=1 指向自身"],)"
                            R"("action_summary":{"悬停":1,"跳转Jump":1}})")}));
}

TEST(RoutecheckNode, FailingMissionEndsWithTheErrorLineAndStatusOne) {
  drone_test::TempDir dir;
  const std::string path = dir.file("bad.json");
  drone_test::write_file(
      path, mission_of({Waypoint(0, 1), Waypoint(1, 15), Waypoint(2, 19).set("p1", "499")}));
  const ProcessResult r = run_node({"--mission-file", path});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "[ERROR] 发现 2 个错误\n");
  EXPECT_EQ(
      split_lines(r.out),
      (Lines{start_line(path), kHalfLine,
             R"({"_progress":{"percent":100,"message":"发现 2 个错误","metadata":{}}})",
             final_line("任务失败",
                        R"({"success":false,"file":")" + path +
                            R"(","waypoint_count":3,"valid":false,"error_count":2,)"
                            R"("warning_count":0,"errors":["航点[1] action=15(起飞位置检查) )"
                            R"(必须是第一个航点","航点[2] action=19(Grabber) 的 p1=499 无效，)"
                            R"(必须是 0, 1 或 500~2500"],"warnings":[],)"
                            R"("action_summary":{"Grabber抓取":1,"悬停":1,"起飞位置检查":1}})"),
             drone_test::error_line("发现 2 个错误")}));
}

TEST(RoutecheckNode, WithoutMissionFileTheEmptyPathIsMissing) {
  const ProcessResult r = run_node({}, {{"HOME", "/nonexistent-home"}});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "[ERROR] 发现 1 个错误\n");
  const Lines lines = split_lines(r.out);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], start_line(""));
  EXPECT_EQ(lines[3],
            final_line("任务失败", R"({"success":false,"file":"","waypoint_count":0,"valid":false,)"
                                   R"("error_count":1,"warning_count":0,"errors":["文件不存在: "],)"
                                   R"("warnings":[],"action_summary":{}})"));
}

// Resolution runs against the process's real environment and working directory.
class PathResolution : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(home_.path() + "/savemission");
    std::filesystem::create_directories(other_.path() + "/missions");
    drone_test::write_file(home_.path() + "/savemission/m.json", mission_of({Waypoint(0)}));
    drone_test::write_file(other_.path() + "/missions/m.json", mission_of({Waypoint(0, 2)}));
  }

  // The resolved path as the start line and the document show it; checks both agree.
  static std::string resolved(const ProcessResult& r) {
    const Lines lines = split_lines(r.out);
    EXPECT_GE(lines.size(), 4u);
    if (lines.size() < 4) return "";
    const std::string head = R"({"_progress":{"percent":0,"message":"开始验证: )";
    const std::string tail = R"(","metadata":{}}})";
    std::string path = lines[0].substr(head.size(), lines[0].size() - head.size() - tail.size());
    EXPECT_NE(lines[3].find("\"file\":\"" + path + "\""), std::string::npos) << lines[3];
    return path;
  }

  drone_test::TempDir home_;
  drone_test::TempDir other_;
};

TEST_F(PathResolution, DefaultDirectoryUnderHome) {
  const ProcessResult r = run_node({"--mission-file", "m.json"}, {{"HOME", home_.path()}});
  EXPECT_EQ(resolved(r), home_.path() + "/savemission/m.json");
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(PathResolution, HomeUnsetKeepsTheTilde) {
  const ProcessResult r = run_node({"--mission-file", "m.json"}, {}, {"HOME"});
  EXPECT_EQ(resolved(r), "~/savemission/m.json");
  EXPECT_NE(r.out.find(R"("errors":["文件不存在: ~/savemission/m.json"])"), std::string::npos);
  EXPECT_EQ(r.exit_code, 1);
}

TEST_F(PathResolution, SourceDirWithAndWithoutTrailingSlash) {
  const std::string dir = other_.path() + "/missions";
  for (const std::string& given : {dir, dir + "/"}) {
    SCOPED_TRACE(given);
    const ProcessResult r =
        run_node({"--mission-file", "m.json", "--source-dir", given}, {{"HOME", home_.path()}});
    EXPECT_EQ(resolved(r), dir + "/m.json");
    EXPECT_NE(r.out.find(R"("action_summary":{"拍照":1})"), std::string::npos);
    EXPECT_EQ(r.exit_code, 0);
  }
}

TEST_F(PathResolution, TildeSourceDirAndAbsoluteFile) {
  ProcessResult r = run_node({"--mission-file", "m.json", "--source-dir", "~/savemission/"},
                             {{"HOME", home_.path()}});
  EXPECT_EQ(resolved(r), home_.path() + "/savemission/m.json");
  EXPECT_EQ(r.exit_code, 0);

  const std::string absolute = other_.path() + "/missions/m.json";
  r = run_node({"--mission-file", absolute, "--source-dir", home_.path()},
               {{"HOME", home_.path()}});
  EXPECT_EQ(resolved(r), absolute);
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(PathResolution, SourceDirWithoutValueHoldsTrue) {
  const ProcessResult r =
      run_node({"--source-dir", "--mission-file", "m.json"}, {{"HOME", home_.path()}});
  EXPECT_EQ(resolved(r), "true/m.json");
  EXPECT_EQ(r.exit_code, 1);
}

// Root reads every file whatever its mode, so as root the program runs as user 65534 (nobody)
// through setpriv; otherwise it runs directly.
TEST(RoutecheckNode, UnreadableFileIsReportedAsMissing) {
  drone_test::TempDir dir;
  const std::string path = dir.file("locked.json");
  drone_test::write_file(path, mission_of({Waypoint(0)}));
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  bool can_drop = true;
  std::vector<std::string> argv = drone_test::unprivileged_prefix(&can_drop);
  if (!can_drop) GTEST_SKIP() << "no unprivileged user can run the programs here";
  argv.insert(argv.end(), {drone_test::program_path("routecheck_node"), "--mission-file", path});
  const ProcessResult r = run_process(argv, {}, {"DRONE_TASK_PROGRESS_URL"});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(r.err, "[ERROR] 发现 1 个错误\n");
  EXPECT_EQ(split_lines(r.out),
            (Lines{start_line(path), kHalfLine,
                   R"({"_progress":{"percent":100,"message":"发现 1 个错误","metadata":{}}})",
                   final_line("任务失败", R"({"success":false,"file":")" + path +
                                              R"(","waypoint_count":0,"valid":false,)"
                                              R"("error_count":1,"warning_count":0,)"
                                              R"("errors":["文件不存在: )" +
                                              path + R"("],"warnings":[],"action_summary":{}})"),
                   drone_test::error_line("发现 1 个错误")}));
}

TEST(RoutecheckNode, HostileFilesEndCleanlyWithStatusOne) {
  drone_test::TempDir dir;
  struct Case {
    const char* name;
    std::string path;
    std::string contents;  // not written when the path is the directory itself
  };
  const Case cases[] = {
      {"empty file", dir.file("empty.json"), ""},
      {"directory", dir.path(), ""},
      {"deep arrays", dir.file("deep.json"), std::string(300000, '[')},
      {"64-bit overflow", dir.file("big.json"),
       mission_of({Waypoint(0).set("id", "340282366920938463463374607431768211456")})},
      {"invalid UTF-8", dir.file("utf8.json"), "{\"tasks\":[\xc0\xaf]}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.path != dir.path()) drone_test::write_file(c.path, c.contents);
    const ProcessResult r = run_node({"--mission-file", c.path});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "[ERROR] 发现 1 个错误\n");
    const Lines lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[3].find(R"("error_count":1,)"), std::string::npos) << lines[3];
  }
}

TEST(RoutecheckNode, HundredThousandWaypoints) {
  drone_test::TempDir dir;
  const std::string path = dir.file("long.json");
  std::string text = "{\"tasks\":[";
  for (int i = 0; i < 100000; ++i) {
    if (i > 0) text += ',';
    text += Waypoint(i, i % 2 == 0 ? 2 : 10).json();
  }
  text += "]}";
  drone_test::write_file(path, text);
  const ProcessResult r = run_node({"--mission-file", path});
  EXPECT_EQ(r.exit_code, 0);
  const Lines lines = split_lines(r.out);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3],
            final_line("任务完成", R"({"success":true,"file":")" + path +
                                       R"(","waypoint_count":100000,"valid":true,"error_count":0,)"
                                       R"("warning_count":0,"errors":[],"warnings":[],)"
                                       R"("action_summary":{"Hover":50000,"拍照":50000}})"));
}

TEST(RoutecheckNode, ReportsArePostedUnwrapped) {
  drone_test::TempDir dir;
  const std::string path = dir.file("m.json");
  drone_test::write_file(path, mission_of({Waypoint(0)}));
  drone_test::HttpReceiver receiver;
  const ProcessResult r =
      run_node({"--mission-file", path}, {{"DRONE_TASK_PROGRESS_URL", receiver.url()}});
  EXPECT_EQ(r.exit_code, 0);
  const Lines lines = split_lines(r.out);
  const auto requests = receiver.requests();
  ASSERT_EQ(requests.size(), lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ("{\"_progress\":" + requests[i].body + "}", lines[i]);
  }
}

TEST(RoutecheckNode, HelpNamesOptionsDefaultsAndEnvironment) {
  const ProcessResult r = run_node({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  for (const char* word : {"--mission-file", "--source-dir", "~/savemission",
                           "DRONE_TASK_PROGRESS_URL", "action_summary", "Exit status"}) {
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  }
}

}  // namespace
