// The task in process: path resolution, the result document and the report lines, read from a
// reporter that writes to a string.
#include <gtest/gtest.h>
#include <json/json.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/escape_json.h"
#include "framework/params.h"
#include "framework/reporter.h"
#include "mission_text.h"
#include "mission_validate_task.h"
#include "testing/process.h"
#include "testing/task_run.h"
#include "testing/temp_dir.h"

namespace {

using mission_test::mission_of;
using mission_test::Waypoint;

TEST(ResolveMissionPath, JoinsExpandsAndNeverNormalises) {
  struct Case {
    const char* file;
    const char* dir;
    const char* home;  // null: HOME unset
    const char* expected;
  };
  const Case cases[] = {
      {"m.json", "~/savemission", "/home/op", "/home/op/savemission/m.json"},
      {"m.json", "~/savemission", nullptr, "~/savemission/m.json"},
      {"m.json", "/data/missions", "/home/op", "/data/missions/m.json"},
      {"m.json", "/data/missions/", "/home/op", "/data/missions/m.json"},
      {"m.json", "~/savemission/", "/home/op", "/home/op/savemission/m.json"},
      {"m.json", "~", "/home/op", "/home/op/m.json"},
      {"m.json", "~", "/home/op/", "/home/op/m.json"},
      {"m.json", "relative/dir", "/home/op", "relative/dir/m.json"},
      {"m.json", "true", "/home/op", "true/m.json"},
      {"m.json", "", "/home/op", "m.json"},
      // absolute files ignore the directory
      {"/abs/m.json", "~/savemission", "/home/op", "/abs/m.json"},
      {"/abs/m.json", "/data", nullptr, "/abs/m.json"},
      // empty file stays empty whatever the directory
      {"", "~/savemission", "/home/op", ""},
      // a "~" file is a relative name under the directory...
      {"~/m.json", "/data", "/home/op", "/data/~/m.json"},
      // ...and is expanded only when there is no directory
      {"~/m.json", "", "/home/op", "/home/op/m.json"},
      {"~/m.json", "", nullptr, "~/m.json"},
      // no normalisation
      {"../up/./m.json", "/a//b", "/home/op", "/a//b/../up/./m.json"},
      {"sub//m.json", "~//x", "/h", "/h//x/sub//m.json"},
      // only the first byte stands for the home directory; "~user" is not looked up
      {"m.json", "~op/x", "/home/", "/home/op/x/m.json"},
      // HOME set to the empty text still replaces the "~"
      {"m.json", "~/savemission", "", "/savemission/m.json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " | " + c.dir + " | " + (c.home ? c.home : "(unset)"));
    EXPECT_EQ(resolve_mission_path(c.file, c.dir, c.home), c.expected);
  }
}

using drone_test::document_of;

drone_test::TaskRun run_task(const drone_task::ParamMap& options) {
  return drone_test::run_task<MissionValidateTask>(options);
}

Json::Value parse(const std::string& text) {
  Json::CharReaderBuilder builder;
  Json::Value root;
  std::string errors;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(builder, in, &root, &errors)) << errors << text;
  return root;
}

TEST(MissionValidateTask, ValidMissionLinesAndDocument) {
  drone_test::TempDir dir;
  drone_test::write_file(dir.file("m.json"),
                         mission_of({Waypoint(0, 15), Waypoint(1, 8), Waypoint(2, 1)}));
  const drone_test::TaskRun run =
      run_task({{"mission-file", "m.json"}, {"source-dir", dir.path()}});
  const std::string path = dir.path() + "/m.json";
  EXPECT_TRUE(run.error.empty()) << run.error;
  const std::vector<std::string> expected = {
      R"({"_progress":{"percent":0,"message":"开始验证: )" + path + R"(","metadata":{}}})",
      R"({"_progress":{"percent":50,"message":"验证完成，正在生成报告...","metadata":{}}})",
      R"({"_progress":{"percent":100,"message":"验证通过","metadata":{}}})",
      R"({"_progress":{"percent":100,"message":"任务完成","metadata":{"result":{"success":true,"file":")" +
          path +
          R"(","waypoint_count":3,"valid":true,"error_count":0,"warning_count":0,"errors":[],"warnings":[],"action_summary":{"Land":1,"悬停":1,"起飞位置检查":1}},"files":[]}}})",
  };
  EXPECT_EQ(run.lines, expected);
}

TEST(MissionValidateTask, ErrorsThrowTheClosingMessageAfterTheFinalLine) {
  drone_test::TempDir dir;
  drone_test::write_file(dir.file("m.json"),
                         mission_of({Waypoint(0, 18).set("p1", "0"), Waypoint(1, 21),
                                     Waypoint(2).set("light", "101")}));
  const drone_test::TaskRun run = run_task({{"mission-file", dir.file("m.json")}});
  EXPECT_EQ(run.error, "发现 2 个错误");
  ASSERT_EQ(run.lines.size(), 4u);
  EXPECT_EQ(run.lines[2],
            R"({"_progress":{"percent":100,"message":"发现 2 个错误","metadata":{}}})");
  EXPECT_EQ(run.lines[3].rfind(R"({"_progress":{"percent":100,"message":"任务失败",)", 0), 0u);
  EXPECT_EQ(
      document_of(run.lines[3]),
      R"({"success":false,"file":")" + dir.file("m.json") +
          R"(","waypoint_count":3,"valid":false,"error_count":2,"warning_count":1,)"
          R"("errors":["航点[1].action=21 超出范围 [0, 20]","航点[2].light=101 超出范围 [0, 100]"],)"
          R"("warnings":["航点[0] action=18(Detour/Jump) 的 p1=0 指向自身"],)"
          R"("action_summary":{"悬停":1,"跳转Jump":1}})");
}

TEST(MissionValidateTask, DocumentEscapesLikeTheFramework) {
  drone_test::TempDir dir;
  // A file name with every byte class the escaping treats specially.
  const std::string odd = dir.file(std::string("q\"b\\t\tc\x01 d\x7f"));
  drone_test::write_file(odd, "{\"tasks\":[");  // also a parse error with line breaks
  const drone_test::TaskRun run = run_task({{"mission-file", odd}});
  ASSERT_EQ(run.lines.size(), 4u);
  const std::string doc = document_of(run.lines[3]);
  EXPECT_NE(doc.find("\"file\":\"" + drone_task::escape_json(odd) + "\""), std::string::npos)
      << doc;
  EXPECT_EQ(doc.find('\n'), std::string::npos);

  // The document is JSON that gives the texts back unchanged.
  const Json::Value root = parse(doc);
  EXPECT_EQ(root["file"].asString(), odd);
  ASSERT_EQ(root["errors"].size(), 1u);
  const std::string error = root["errors"][0].asString();
  EXPECT_EQ(error.rfind("JSON 解析失败: ", 0), 0u);
  EXPECT_NE(error.find('\n'), std::string::npos);
  EXPECT_NE(doc.find(drone_task::escape_json(error)), std::string::npos);
}

TEST(MissionValidateTask, DocumentKeysInOrderAndCountsAsNumbers) {
  drone_test::TempDir dir;
  drone_test::write_file(dir.file("m.json"), mission_of({Waypoint(0, 17).set("p1", "0")}));
  const drone_test::TaskRun run = run_task({{"mission-file", dir.file("m.json")}});
  ASSERT_EQ(run.lines.size(), 4u);
  const std::string doc = document_of(run.lines[3]);
  const Json::Value root = parse(doc);
  EXPECT_EQ(root.getMemberNames().size(), 9u);
  EXPECT_EQ(doc.find("\"success\":"), 1u);
  std::size_t last = 0;  // "success" is the first key, right after the opening brace
  for (const char* key :
       {"\"success\":", "\"file\":", "\"waypoint_count\":", "\"valid\":", "\"error_count\":",
        "\"warning_count\":", "\"errors\":", "\"warnings\":", "\"action_summary\":"}) {
    const std::size_t at = doc.find(key);
    ASSERT_NE(at, std::string::npos) << key;
    EXPECT_GT(at, last) << key;
    last = at;
  }
  EXPECT_TRUE(root["success"].asBool());
  EXPECT_EQ(root["warning_count"].asUInt64(), 1u);
  EXPECT_EQ(root["waypoint_count"].asInt(), 1);
  EXPECT_EQ(doc.substr(doc.size() - 2), "}}");
}

}  // namespace
