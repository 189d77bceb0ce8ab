#include "mission/mission_validator.h"

#include <json/json.h>

#include <array>
#include <clocale>
#include <exception>
#include <filesystem>
#include <fstream>
#include <locale>
#include <sstream>
#include <string>
#include <system_error>

namespace mission_validate {

namespace {

// Members every waypoint must carry, in the order in which missing ones are listed.
const std::array<const char*, 9> FIELDS = {"id",     "x",     "y",  "z", "yaw",
                                           "action", "light", "p1", "p2"};

// Members that must be numbers, in the order in which their errors are reported.
const std::array<const char*, 6> NUMERIC_FIELDS = {"x", "y", "z", "yaw", "p1", "p2"};

// Action names indexed by action code; the names are what the ground station shows.
const std::array<const char*, 21> ACTIONS = {
    "无动作",     "悬停",         "拍照",         "拍照(红外)",   "开始录像",     "结束录像",
    "悬停并录制", "Apron_Land",   "Land",         "set_param",    "Hover",        "精确悬停",
    "TunnelFly2", "开始雷达录制", "结束雷达录制", "起飞位置检查", "记录紫外数据", "Detour",
    "跳转Jump",   "Grabber抓取",  "旋转Yaw"};

// The parser reads numbers through string streams of the global locale, where a decimal comma
// set by a host process would make 1.5 no number at all. For its lifetime the global locale is
// the classic one; the host's C++ and C locales come back afterwards. Tasks run on one thread.
class ClassicLocaleScope {
 public:
  ClassicLocaleScope()
      : c_locale_(current_c_locale()), saved_(std::locale::global(std::locale::classic())) {}
  ~ClassicLocaleScope() {
    std::locale::global(saved_);
    std::setlocale(LC_ALL, c_locale_.c_str());
  }
  ClassicLocaleScope(const ClassicLocaleScope&) = delete;
  ClassicLocaleScope& operator=(const ClassicLocaleScope&) = delete;

 private:
  static std::string current_c_locale() {
    const char* name = std::setlocale(LC_ALL, nullptr);
    return name != nullptr ? name : "C";
  }

  std::string c_locale_;
  std::locale saved_;
};

constexpr int kLastAction = static_cast<int>(ACTIONS.size()) - 1;
constexpr int kTakeoffCheck = 15;
constexpr int kDetour = 17;
constexpr int kJump = 18;
constexpr int kGrabber = 19;
constexpr int kYaw = 20;

// The whole file as text; the empty text when it cannot be opened or read to its end, so that
// the parser then reports an empty document rather than the check working on half a mission.
std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in.good()) return std::string();
  std::ostringstream text;
  // Inserting a stream buffer catches read errors itself; an empty file also sets failbit on
  // `text`, so only the source stream's state tells a read error apart.
  text << in.rdbuf();
  if (in.bad()) return std::string();
  return text.str();
}

// A JSON number, integral or real. Booleans, strings, null, arrays and objects are not.
bool isNumeric(const Json::Value& value) { return value.isNumeric() && !value.isBool(); }

// A path the validator can open as a mission file. A directory opens as a stream on Linux but
// holds no file, so it counts as a missing file rather than as an empty document.
bool opensAsFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in.good()) return false;
  std::error_code ec;
  return !std::filesystem::is_directory(path, ec);
}

// Applies the waypoint rules to waypoint `index` of a mission with `count` waypoints.
void checkWaypoint(const Json::Value& wp, Json::ArrayIndex index, Json::ArrayIndex count,
                   ValidationResult& result) {
  const std::string prefix = "航点[" + std::to_string(index) + "]";
  auto error = [&](const std::string& text) { result.errors.push_back(prefix + text); };

  if (!wp.isObject()) {
    error(" 不是对象");
    return;
  }

  std::string missing;
  for (const char* name : FIELDS) {
    if (wp.isMember(name)) continue;
    if (!missing.empty()) missing += ", ";
    missing += name;
  }
  if (!missing.empty()) error(" 缺少字段: " + missing);

  if (wp.isMember("id") && !wp["id"].isInt()) error(".id 必须是整数");

  for (const char* name : NUMERIC_FIELDS) {
    if (wp.isMember(name) && !isNumeric(wp[name])) error(std::string(".") + name + " 必须是数值");
  }

  // The later rules depend only on an action that is present and an integer.
  bool has_action = false;
  int action = 0;
  if (wp.isMember("action")) {
    const Json::Value& value = wp["action"];
    if (value.isInt()) {
      has_action = true;
      action = value.asInt();
      if (action < 0 || action > kLastAction) {
        error(".action=" + std::to_string(action) + " 超出范围 [0, " + std::to_string(kLastAction) +
              "]");
      } else {
        ++result.action_summary[ACTIONS[static_cast<std::size_t>(action)]];
      }
    } else {
      error(".action 必须是整数");
    }
  }

  if (wp.isMember("light")) {
    const Json::Value& value = wp["light"];
    if (value.isInt()) {
      const int light = value.asInt();
      if (light < 0 || light > 100) error(".light=" + std::to_string(light) + " 超出范围 [0, 100]");
    } else {
      error(".light 必须是整数");
    }
  }

  if (!has_action) return;

  const bool p1_int = wp.isMember("p1") && wp["p1"].isInt();
  const int p1 = p1_int ? wp["p1"].asInt() : 0;

  if (action == kTakeoffCheck && index != 0) error(" action=15(起飞位置检查) 必须是第一个航点");

  if (action == kDetour || action == kJump) {
    const std::string head = " action=" + std::to_string(action) + "(Detour/Jump) 的 p1";
    if (!p1_int) {
      error(head + " 必须是整数");
    } else if (p1 < 0 || static_cast<long long>(p1) >= static_cast<long long>(count)) {
      error(head + "=" + std::to_string(p1) + " 超出航点范围 [0, " +
            std::to_string(static_cast<long long>(count) - 1) + "]");
    } else if (static_cast<Json::ArrayIndex>(p1) == index) {
      result.warnings.push_back(prefix + head + "=" + std::to_string(p1) + " 指向自身");
    }
  }

  if (action == kGrabber) {
    if (!p1_int) {
      error(" action=19(Grabber) 的 p1 必须是整数");
    } else if (p1 != 0 && p1 != 1 && (p1 < 500 || p1 > 2500)) {
      error(" action=19(Grabber) 的 p1=" + std::to_string(p1) + " 无效，必须是 0, 1 或 500~2500");
    }
  }

  if (action == kYaw && !(wp.isMember("p1") && isNumeric(wp["p1"]))) {
    error(" action=20(旋转Yaw) 的 p1 必须是数值（弧度）");
  }
}

}  // namespace

ValidationResult MissionValidator::validate(const std::string& path) {
  ValidationResult result;
  result.file = path;

  if (!opensAsFile(path)) {
    result.errors.push_back("文件不存在: " + path);
    return result;
  }

  Json::Value root;
  {
    const std::string text = readFile(path);
    std::istringstream in(text);
    Json::CharReaderBuilder builder;
    std::string parse_errors;
    bool parsed = false;
    const ClassicLocaleScope classic;
    try {
      parsed = Json::parseFromStream(builder, in, &root, &parse_errors);
    } catch (const std::exception& e) {
      // The parser throws instead of reporting when nesting exceeds its depth limit.
      parse_errors = e.what();
    }
    if (!parsed) {
      result.errors.push_back("JSON 解析失败: " + parse_errors);
      return result;
    }
  }

  const Json::Value& document = root;
  if (!document.isObject()) {
    result.errors.emplace_back("根对象必须是 JSON Object");
    return result;
  }
  if (!document.isMember("tasks")) {
    result.errors.emplace_back("缺少 'tasks' 字段");
    return result;
  }
  const Json::Value& tasks = document["tasks"];
  if (!tasks.isArray()) {
    result.errors.emplace_back("'tasks' 必须是数组");
    return result;
  }
  const Json::ArrayIndex count = tasks.size();
  result.waypoint_count = static_cast<int>(count);
  if (count == 0) {
    result.errors.emplace_back("航点数量为 0");
    return result;
  }

  for (Json::ArrayIndex i = 0; i < count; ++i) checkWaypoint(tasks[i], i, count, result);

  result.valid = result.errors.empty();
  return result;
}

}  // namespace mission_validate
