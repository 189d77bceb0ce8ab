// The validator library: early stops, each waypoint rule and their combinations, the action
// summary, and input that must not bring it down.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "mission/mission_validator.h"
#include "mission_text.h"
#include "testing/temp_dir.h"

namespace {

using mission_test::mission_of;
using mission_test::mission_of_raw;
using mission_test::Waypoint;
using mission_validate::MissionValidator;
using mission_validate::ValidationResult;

using Texts = std::vector<std::string>;

// What jsoncpp itself says about `text`, read the way the validator is meant to read it.
std::string parser_errors(const std::string& text) {
  Json::CharReaderBuilder builder;
  Json::Value root;
  std::string errors;
  std::istringstream in(text);
  EXPECT_FALSE(Json::parseFromStream(builder, in, &root, &errors));
  return errors;
}

bool is_valid_utf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t len = c < 0x80           ? 1
                      : (c >> 5) == 0x6  ? 2
                      : (c >> 4) == 0xE  ? 3
                      : (c >> 3) == 0x1E ? 4
                                         : 0;
    if (len == 0 || i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 0x2) return false;
    }
    i += len;
  }
  return true;
}

class ValidatorTest : public ::testing::Test {
 protected:
  ValidationResult check(const std::string& text) {
    drone_test::write_file(path_, text);
    return MissionValidator::validate(path_);
  }

  drone_test::TempDir dir_;
  std::string path_ = dir_.file("mission.json");
};

// One finding and nothing else, as every early stop leaves it.
void expect_single_error(const ValidationResult& r, const std::string& error, int count = 0) {
  EXPECT_FALSE(r.valid);
  EXPECT_EQ(r.errors, Texts{error});
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_TRUE(r.action_summary.empty());
  EXPECT_EQ(r.waypoint_count, count);
}

// ---------------------------------------------------------------------------------------------
// Early stops

TEST_F(ValidatorTest, StructuralStopsLeaveExactlyOneError) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"[{\"tasks\":[]}]", "根对象必须是 JSON Object"},
      {"\"tasks\"", "根对象必须是 JSON Object"},
      {"42", "根对象必须是 JSON Object"},
      {"null", "根对象必须是 JSON Object"},
      {"{}", "缺少 'tasks' 字段"},
      {"{\"Tasks\":[1]}", "缺少 'tasks' 字段"},
      {"{\"tasks\":{\"0\":{}}}", "'tasks' 必须是数组"},
      {"{\"tasks\":null}", "'tasks' 必须是数组"},
      {"{\"tasks\":\"[]\"}", "'tasks' 必须是数组"},
      {"{\"tasks\":[]}", "航点数量为 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const ValidationResult r = check(c.text);
    EXPECT_EQ(r.file, path_);
    expect_single_error(r, c.error);
  }
}

TEST_F(ValidatorTest, MissingPathIsReportedWithThePathAsGiven) {
  for (const std::string& path :
       {dir_.file("absent.json"), std::string(), std::string("rel/x.json")}) {
    const ValidationResult r = MissionValidator::validate(path);
    EXPECT_EQ(r.file, path);
    expect_single_error(r, "文件不存在: " + path);
  }
}

TEST_F(ValidatorTest, DirectoryCountsAsMissingFile) {
  const ValidationResult r = MissionValidator::validate(dir_.path());
  expect_single_error(r, "文件不存在: " + dir_.path());
}

TEST_F(ValidatorTest, OnlyRegularFilesAreRead) {
  // A FIFO without a writer would block the read forever, /dev/zero would never end.
  const std::string fifo = dir_.file("mission.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, std::string> cases[] = {
      {fifo, fifo + " is not a regular file (a FIFO)"},
      {"/dev/zero", "/dev/zero is not a regular file (a character device)"},
      {"/dev/null", "/dev/null is not a regular file (a character device)"},
  };
  for (const auto& c : cases) expect_single_error(MissionValidator::validate(c.first), c.second);
}

TEST_F(ValidatorTest, UnreadableFileCountsAsMissingFile) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files whatever their permissions";
  drone_test::write_file(path_, mission_of({Waypoint(0)}));
  ASSERT_EQ(chmod(path_.c_str(), 0), 0);
  expect_single_error(MissionValidator::validate(path_), "文件不存在: " + path_);
}

TEST_F(ValidatorTest, ParseErrorsPassTheParserTextThroughUnchanged) {
  const char* texts[] = {
      "",                                   // empty file
      "   \n\t ",                           // white space only
      "{\"tasks\":[",                       // cut off
      "{\"tasks\":[{\"id\":1,}]x",          // stray token
      "{'tasks':[]}",                       // single quotes are not JSON
      "{\"tasks\":[NaN]}",                  // special floats are not allowed by default
      "{\"tasks\":[{\"x\":1e999}]}",        // a number beyond the range of double
      "{\"tasks\":[{\"x\":\"\\ud800\"}]}",  // half a surrogate pair
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    const ValidationResult r = check(text);
    expect_single_error(r, "JSON 解析失败: " + parser_errors(text));
  }
  // The parser's text spans lines; it is kept whole.
  EXPECT_NE(check("").errors.at(0).find('\n'), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Waypoint rules

struct RuleCase {
  const char* name;
  std::vector<std::string> waypoints;  // raw JSON of each waypoint
  Texts errors;
  Texts warnings;
};

std::vector<RuleCase> rule_cases() {
  const std::string ok = Waypoint(0).json();
  return {
      {"all rules pass", {ok, Waypoint(1, 2).json()}, {}, {}},
      // 1: not an object, the rest skipped
      {"waypoint is a number", {"5", ok}, {"航点[0] 不是对象"}, {}},
      {"waypoint is a string, null, array",
       {ok, "\"wp\"", "null", "[1,2]"},
       {"航点[1] 不是对象", "航点[2] 不是对象", "航点[3] 不是对象"},
       {}},
      // 2: one message listing the absent names in table order
      {"p1 and p2 absent",
       {Waypoint(0).drop("p2").drop("p1").json()},
       {"航点[0] 缺少字段: p1, p2"},
       {}},
      {"empty object", {"{}"}, {"航点[0] 缺少字段: id, x, y, z, yaw, action, light, p1, p2"}, {}},
      {"names in table order whatever the file order",
       {"{\"p2\":0,\"light\":1,\"yaw\":0,\"y\":0,\"id\":0}"},
       {"航点[0] 缺少字段: x, z, action, p1"},
       {}},
      // 3: id
      {"id 3.0 and negative and duplicate ids pass",
       {Waypoint(0).set("id", "3.0").json(), Waypoint(0).set("id", "-4").json(),
        Waypoint(0).set("id", "-4").json()},
       {},
       {}},
      {"id as string", {Waypoint(0).set("id", "\"3\"").json()}, {"航点[0].id 必须是整数"}, {}},
      {"id fractional", {Waypoint(0).set("id", "2.5").json()}, {"航点[0].id 必须是整数"}, {}},
      {"id beyond 32 bits",
       {Waypoint(0).set("id", "2147483648").json()},
       {"航点[0].id 必须是整数"},
       {}},
      {"id beyond 64 bits",
       {Waypoint(0).set("id", "18446744073709551616").json()},
       {"航点[0].id 必须是整数"},
       {}},
      // 4: numbers, one message per field, in table order
      {"x as string", {Waypoint(0).set("x", "\"1.5\"").json()}, {"航点[0].x 必须是数值"}, {}},
      {"booleans, null, arrays, objects are not numbers",
       {Waypoint(0).set("x", "true").set("y", "null").set("z", "[1]").set("yaw", "{}").json()},
       {"航点[0].x 必须是数值", "航点[0].y 必须是数值", "航点[0].z 必须是数值",
        "航点[0].yaw 必须是数值"},
       {}},
      {"p2 before yaw in the file, yaw first in the messages",
       {"{\"p2\":\"b\",\"yaw\":\"a\",\"id\":0,\"x\":0,\"y\":0,\"z\":0,\"action\":0,\"light\":0,"
        "\"p1\":0}"},
       {"航点[0].yaw 必须是数值", "航点[0].p2 必须是数值"},
       {}},
      {"numbers beyond 64 bits are numbers",
       {Waypoint(0).set("x", "123456789012345678901234567890").set("p2", "-1e300").json()},
       {},
       {}},
      // 5-7: action
      {"action 21", {Waypoint(0, 21).json()}, {"航点[0].action=21 超出范围 [0, 20]"}, {}},
      {"action -1", {Waypoint(0, -1).json()}, {"航点[0].action=-1 超出范围 [0, 20]"}, {}},
      {"action as string",
       {Waypoint(0).set("action", "\"1\"").json()},
       {"航点[0].action 必须是整数"},
       {}},
      {"action fractional",
       {Waypoint(0).set("action", "1.5").json()},
       {"航点[0].action 必须是整数"},
       {}},
      {"action beyond 64 bits",
       {Waypoint(0).set("action", "99999999999999999999").json()},
       {"航点[0].action 必须是整数"},
       {}},
      // 8-9: light
      {"light 0 and 100 pass",
       {Waypoint(0).set("light", "0").json(), Waypoint(1).set("light", "100").json()},
       {},
       {}},
      {"light 101",
       {Waypoint(0).set("light", "101").json()},
       {"航点[0].light=101 超出范围 [0, 100]"},
       {}},
      {"light -1",
       {Waypoint(0).set("light", "-1").json()},
       {"航点[0].light=-1 超出范围 [0, 100]"},
       {}},
      {"light fractional",
       {Waypoint(0).set("light", "50.5").json()},
       {"航点[0].light 必须是整数"},
       {}},
      {"light as string",
       {Waypoint(0).set("light", "\"50\"").json()},
       {"航点[0].light 必须是整数"},
       {}},
      // 10: take-off check first only
      {"action 15 first passes", {Waypoint(0, 15).json(), ok}, {}, {}},
      {"action 15 later",
       {ok, Waypoint(1, 15).json()},
       {"航点[1] action=15(起飞位置检查) 必须是第一个航点"},
       {}},
      // 11-13: Detour and Jump
      {"jump to own index warns",
       {ok, Waypoint(1, 18).set("p1", "1").json()},
       {},
       {"航点[1] action=18(Detour/Jump) 的 p1=1 指向自身"}},
      {"detour to first and last pass",
       {Waypoint(0, 17).set("p1", "2").json(), ok, Waypoint(2, 18).set("p1", "0").json()},
       {},
       {}},
      {"detour p1 equal to n",
       {ok, ok, Waypoint(2, 17).set("p1", "3").json()},
       {"航点[2] action=17(Detour/Jump) 的 p1=3 超出航点范围 [0, 2]"},
       {}},
      {"jump p1 negative",
       {Waypoint(0, 18).set("p1", "-1").json()},
       {"航点[0] action=18(Detour/Jump) 的 p1=-1 超出航点范围 [0, 0]"},
       {}},
      {"jump p1 beyond 32 bits is not an integer",
       {Waypoint(0, 18).set("p1", "4294967296").json()},
       {"航点[0] action=18(Detour/Jump) 的 p1 必须是整数"},
       {}},
      {"rule 4 with 11: detour p1 as string",
       {Waypoint(0, 17).set("p1", "\"0\"").json()},
       {"航点[0].p1 必须是数值", "航点[0] action=17(Detour/Jump) 的 p1 必须是整数"},
       {}},
      {"detour p1 fractional: only rule 11",
       {Waypoint(0, 17).set("p1", "0.5").json()},
       {"航点[0] action=17(Detour/Jump) 的 p1 必须是整数"},
       {}},
      {"detour p1 absent",
       {Waypoint(0, 17).drop("p1").json()},
       {"航点[0] 缺少字段: p1", "航点[0] action=17(Detour/Jump) 的 p1 必须是整数"},
       {}},
      {"12 before 13: out of range on a single waypoint is no self reference",
       {Waypoint(0, 18).set("p1", "1").json()},
       {"航点[0] action=18(Detour/Jump) 的 p1=1 超出航点范围 [0, 0]"},
       {}},
      {"13 alone: self reference in range is no error",
       {Waypoint(0, 17).set("p1", "0").json()},
       {},
       {"航点[0] action=17(Detour/Jump) 的 p1=0 指向自身"}},
      // 14-15: Grabber
      {"grabber 0, 1, 500, 2500 pass",
       {Waypoint(0, 19).set("p1", "0").json(), Waypoint(1, 19).set("p1", "1").json(),
        Waypoint(2, 19).set("p1", "500").json(), Waypoint(3, 19).set("p1", "2500").json()},
       {},
       {}},
      {"grabber 2, 499, 2501",
       {Waypoint(0, 19).set("p1", "2").json(), Waypoint(1, 19).set("p1", "499").json(),
        Waypoint(2, 19).set("p1", "2501").json()},
       {"航点[0] action=19(Grabber) 的 p1=2 无效，必须是 0, 1 或 500~2500",
        "航点[1] action=19(Grabber) 的 p1=499 无效，必须是 0, 1 或 500~2500",
        "航点[2] action=19(Grabber) 的 p1=2501 无效，必须是 0, 1 或 500~2500"},
       {}},
      {"grabber p1 fractional",
       {Waypoint(0, 19).set("p1", "1000.5").json()},
       {"航点[0] action=19(Grabber) 的 p1 必须是整数"},
       {}},
      {"grabber p1 absent",
       {Waypoint(0, 19).drop("p1").json()},
       {"航点[0] 缺少字段: p1", "航点[0] action=19(Grabber) 的 p1 必须是整数"},
       {}},
      // 16: Yaw
      {"yaw 1.57 and integral 3 pass",
       {Waypoint(0, 20).set("p1", "1.57").json(), Waypoint(1, 20).set("p1", "3").json()},
       {},
       {}},
      {"rule 4 with 16: yaw p1 as string",
       {Waypoint(0, 20).set("p1", "\"1.57\"").json()},
       {"航点[0].p1 必须是数值", "航点[0] action=20(旋转Yaw) 的 p1 必须是数值（弧度）"},
       {}},
      {"yaw p1 absent",
       {Waypoint(0, 20).drop("p1").json()},
       {"航点[0] 缺少字段: p1", "航点[0] action=20(旋转Yaw) 的 p1 必须是数值（弧度）"},
       {}},
      // 10-16 need an action that is an integer
      {"action as string gets no action rule",
       {ok, Waypoint(1).set("action", "\"15\"").set("p1", "\"x\"").json()},
       {"航点[1].p1 必须是数值", "航点[1].action 必须是整数"},
       {}},
      {"absent action gets no action rule",
       {Waypoint(0).drop("action").set("p1", "99").json()},
       {"航点[0] 缺少字段: action"},
       {}},
      {"every rule of one waypoint, in table order",
       {ok,
        "{\"id\":\"a\",\"x\":\"b\",\"y\":0,\"z\":0,\"yaw\":0,\"action\":15,\"light\":200,"
        "\"p1\":0}"},
       {"航点[1] 缺少字段: p2", "航点[1].id 必须是整数", "航点[1].x 必须是数值",
        "航点[1].light=200 超出范围 [0, 100]", "航点[1] action=15(起飞位置检查) 必须是第一个航点"},
       {}},
      {"findings of several waypoints in array order",
       {Waypoint(0, 18).set("p1", "0").json(), Waypoint(1).set("light", "101").json(), ok,
        Waypoint(3, 17).set("p1", "3").json(), Waypoint(4, 21).json()},
       {"航点[1].light=101 超出范围 [0, 100]", "航点[4].action=21 超出范围 [0, 20]"},
       {"航点[0] action=18(Detour/Jump) 的 p1=0 指向自身",
        "航点[3] action=17(Detour/Jump) 的 p1=3 指向自身"}},
  };
}

TEST_F(ValidatorTest, WaypointRules) {
  for (const RuleCase& c : rule_cases()) {
    SCOPED_TRACE(c.name);
    const ValidationResult r = check(mission_of_raw(c.waypoints));
    EXPECT_EQ(r.errors, c.errors);
    EXPECT_EQ(r.warnings, c.warnings);
    EXPECT_EQ(r.valid, c.errors.empty());
    EXPECT_EQ(r.waypoint_count, static_cast<int>(c.waypoints.size()));
    EXPECT_EQ(r.file, path_);
  }
}

// ---------------------------------------------------------------------------------------------
// Action summary

TEST_F(ValidatorTest, EveryActionCodeCountsUnderItsNameInByteOrder) {
  // Code -> name, written out independently of the library.
  const Texts by_code = {
      "无动作",     "悬停",         "拍照",         "拍照(红外)",   "开始录像",     "结束录像",
      "悬停并录制", "Apron_Land",   "Land",         "set_param",    "Hover",        "精确悬停",
      "TunnelFly2", "开始雷达录制", "结束雷达录制", "起飞位置检查", "记录紫外数据", "Detour",
      "跳转Jump",   "Grabber抓取",  "旋转Yaw"};
  // Plain byte order: ASCII names first, capitals before small letters.
  const Texts byte_order = {
      "Apron_Land",   "Detour",       "Grabber抓取",  "Hover",    "Land",       "TunnelFly2",
      "set_param",    "开始录像",     "开始雷达录制", "悬停",     "悬停并录制", "拍照",
      "拍照(红外)",   "旋转Yaw",      "无动作",       "精确悬停", "结束录像",   "结束雷达录制",
      "记录紫外数据", "起飞位置检查", "跳转Jump"};
  // Take-off check first; code c appears c % 3 + 1 times so the counts tell codes apart.
  std::vector<Waypoint> wps{Waypoint(0, 15)};
  for (int code = 0; code <= 20; ++code) {
    const int times = code % 3 + 1 - (code == 15 ? 1 : 0);
    for (int k = 0; k < times; ++k) {
      Waypoint w(static_cast<int>(wps.size()), code);
      if (code == 19) w.set("p1", "500");
      wps.push_back(w);
    }
  }
  const ValidationResult r = check(mission_of(wps));
  ASSERT_TRUE(r.errors.empty()) << r.errors.front();
  // Detour and Jump to waypoint 0 from elsewhere: no warning either.
  EXPECT_TRUE(r.warnings.empty());

  Texts order;
  for (const auto& entry : r.action_summary) order.push_back(entry.first);
  EXPECT_EQ(order, byte_order);
  for (int code = 0; code <= 20; ++code) {
    SCOPED_TRACE(by_code[code]);
    EXPECT_EQ(r.action_summary.at(by_code[code]), code % 3 + 1);
  }
}

TEST_F(ValidatorTest, SummaryOfOneActionAndOfInvalidActions) {
  std::vector<Waypoint> hover;
  hover.reserve(7);
  for (int i = 0; i < 7; ++i) hover.emplace_back(i, 1);
  EXPECT_EQ(check(mission_of(hover)).action_summary, (std::map<std::string, int>{{"悬停", 7}}));

  // Out-of-range and non-integer actions count nowhere; the valid ones still count.
  const ValidationResult r = check(mission_of(
      {Waypoint(0, 21), Waypoint(1, -1), Waypoint(2).set("action", "\"8\""), Waypoint(3, 8)}));
  EXPECT_EQ(r.action_summary, (std::map<std::string, int>{{"Land", 1}}));
}

// ---------------------------------------------------------------------------------------------
// Hostile input

TEST_F(ValidatorTest, DeepNestingIsAParseErrorOrAPlainFinding) {
  const std::string deep_arrays = std::string(200000, '[') + std::string(200000, ']');
  ValidationResult r = check(deep_arrays);
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_EQ(r.errors[0].rfind("JSON 解析失败: ", 0), 0u) << r.errors[0];
  EXPECT_GT(r.errors[0].size(), std::string("JSON 解析失败: ").size());
  EXPECT_FALSE(r.valid);

  std::string deep_objects;
  for (int i = 0; i < 50000; ++i) deep_objects += "{\"a\":";
  deep_objects += "1" + std::string(50000, '}');
  r = check(deep_objects);
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_EQ(r.errors[0].rfind("JSON 解析失败: ", 0), 0u) << r.errors[0];

  // Unterminated nesting, cut off deep inside.
  r = check("{\"tasks\":" + std::string(100000, '['));
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_EQ(r.errors[0].rfind("JSON 解析失败: ", 0), 0u) << r.errors[0];

  // Nesting the parser accepts is just a value that is not a number.
  const std::string nested = std::string(500, '[') + "1" + std::string(500, ']');
  r = check(mission_of({Waypoint(0).set("x", nested)}));
  EXPECT_EQ(r.errors, Texts{"航点[0].x 必须是数值"});
}

TEST_F(ValidatorTest, InvalidUtf8NeverReachesTheFindings) {
  struct Case {
    const char* name;
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"in an ignored member", mission_of({Waypoint(0).set("name", "\"\xff\xfe\xc3\"")}), true},
      {"as an ignored member name", mission_of({Waypoint(0).set("\xed\xa0\x80", "1")}), true},
      {"as a value the rules read", mission_of({Waypoint(0).set("action", "\"\xc3\x28\"")}), false},
      {"as a field name that is then missing", "{\"tasks\":[{\"i\xff\":0}]}", false},
      {"outside any string", "{\"tasks\":[\xff]}", false},
      {"as the whole file", "\xff\xfe\xfd", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ValidationResult r = check(c.text);
    EXPECT_EQ(r.valid, c.valid);
    EXPECT_EQ(r.errors.empty(), c.valid);
    for (const std::string& e : r.errors) EXPECT_TRUE(is_valid_utf8(e)) << e;
  }
}

TEST_F(ValidatorTest, HundredThousandWaypointsInOnePass) {
  constexpr int kCount = 100000;
  std::string text = "{\"tasks\":[";
  std::map<std::string, int> expected_summary;
  const Texts names = {"无动作",   "悬停",     "拍照",      "拍照(红外)",
                       "开始录像", "结束录像", "悬停并录制"};
  for (int i = 0; i < kCount; ++i) {
    const int action = i % 7;
    ++expected_summary[names[action]];
    Waypoint w(i, action);
    if (i == 4242) w.set("light", "101");
    if (i == kCount - 1) w.set("action", "18").set("p1", std::to_string(kCount));
    if (i > 0) text += ',';
    text += w.json();
  }
  text += "]}";
  // The last waypoint's action became a Jump.
  --expected_summary[names[(kCount - 1) % 7]];
  expected_summary["跳转Jump"] = 1;

  const ValidationResult r = check(text);
  EXPECT_EQ(r.waypoint_count, kCount);
  EXPECT_EQ(r.errors, (Texts{"航点[4242].light=101 超出范围 [0, 100]",
                             "航点[99999] action=18(Detour/Jump) 的 p1=100000 超出航点范围 [0, "
                             "99999]"}));
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_EQ(r.action_summary, expected_summary);
  EXPECT_FALSE(r.valid);
}

TEST_F(ValidatorTest, CallsAreIndependent) {
  const ValidationResult bad = check(mission_of({Waypoint(0, 21)}));
  const ValidationResult good = check(mission_of({Waypoint(0, 2)}));
  EXPECT_FALSE(bad.valid);
  EXPECT_TRUE(good.valid);
  EXPECT_TRUE(good.errors.empty());
  EXPECT_EQ(good.action_summary, (std::map<std::string, int>{{"拍照", 1}}));
}

}  // namespace
