#include "mission/mission_validator.h"

#include <fcntl.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <clocale>
#include <exception>
#include <locale>
#include <sstream>
#include <string>

#include "safe_output/file_kind.h"

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

// A JSON number, integral or real. Booleans, strings, null, arrays and objects are not.
bool isNumeric(const Json::Value& value) { return value.isNumeric() && !value.isBool(); }

// The mission file, opened once and read from the same descriptor that was checked. Only a
// regular file is read: a FIFO would wait for a writer forever and a device such as /dev/zero
// never ends. O_NONBLOCK lets the open of a FIFO return at once; a regular file ignores it.
class MissionFile {
 public:
  explicit MissionFile(const std::string& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {
    if (fd_ >= 0 && ::fstat(fd_, &st_) != 0) close();
  }
  ~MissionFile() { close(); }
  MissionFile(const MissionFile&) = delete;
  MissionFile& operator=(const MissionFile&) = delete;

  // Opened; a directory opens but holds no file, so it counts as missing.
  bool found() const { return fd_ >= 0 && !S_ISDIR(st_.st_mode); }
  bool regular() const { return S_ISREG(st_.st_mode); }
  std::string kind() const { return safe_output::file_kind(st_.st_mode); }

  // The whole file as text; the empty text when a read fails, so that the parser then reports
  // an empty document rather than the check working on half a mission.
  std::string read() const {
    std::string text;
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n > 0) {
        text.append(buffer, static_cast<size_t>(n));
      } else if (n == 0) {
        return text;
      } else if (errno != EINTR) {
        return std::string();
      }
    }
  }

 private:
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_;
  struct stat st_ {};
};

// The errors of one waypoint, each text after the waypoint's "航点[<index>]" prefix.
class WaypointErrors {
 public:
  WaypointErrors(Json::ArrayIndex index, ValidationResult& result)
      : prefix_("航点[" + std::to_string(index) + "]"), result_(result) {}
  void error(const std::string& text) const { result_.errors.push_back(prefix_ + text); }
  void warning(const std::string& text) const { result_.warnings.push_back(prefix_ + text); }
  ValidationResult& result() const { return result_; }

 private:
  std::string prefix_;
  ValidationResult& result_;
};

// The members every waypoint carries: all of FIELDS present, an integer id, numbers where
// NUMERIC_FIELDS wants them.
void checkMembers(const Json::Value& wp, const WaypointErrors& report) {
  std::string missing;
  for (const char* name : FIELDS) {
    if (wp.isMember(name)) continue;
    if (!missing.empty()) missing += ", ";
    missing += name;
  }
  if (!missing.empty()) report.error(" 缺少字段: " + missing);

  if (wp.isMember("id") && !wp["id"].isInt()) report.error(".id 必须是整数");

  for (const char* name : NUMERIC_FIELDS) {
    if (wp.isMember(name) && !isNumeric(wp[name])) {
      report.error(std::string(".") + name + " 必须是数值");
    }
  }
}

// The waypoint's action, counted in the action summary when it is known. Returns false, with
// `action` untouched, when there is no integer action for the later rules to go by.
bool readAction(const Json::Value& wp, const WaypointErrors& report, int& action) {
  if (!wp.isMember("action")) return false;
  const Json::Value& value = wp["action"];
  if (!value.isInt()) {
    report.error(".action 必须是整数");
    return false;
  }
  action = value.asInt();
  if (action < 0 || action > kLastAction) {
    report.error(".action=" + std::to_string(action) + " 超出范围 [0, " +
                 std::to_string(kLastAction) + "]");
  } else {
    ++report.result().action_summary[ACTIONS[static_cast<std::size_t>(action)]];
  }
  return true;
}

// The light level, an integer percent.
void checkLight(const Json::Value& wp, const WaypointErrors& report) {
  if (!wp.isMember("light")) return;
  const Json::Value& value = wp["light"];
  if (value.isInt()) {
    const int light = value.asInt();
    if (light < 0 || light > 100) {
      report.error(".light=" + std::to_string(light) + " 超出范围 [0, 100]");
    }
  } else {
    report.error(".light 必须是整数");
  }
}

// The rules of `action` for waypoint `index` of a mission with `count` waypoints: where the
// takeoff check stands, and what p1 of a detour or jump, the grabber and a yaw turn must be.
void checkActionRules(const Json::Value& wp, int action, Json::ArrayIndex index,
                      Json::ArrayIndex count, const WaypointErrors& report) {
  const bool p1_int = wp.isMember("p1") && wp["p1"].isInt();
  const int p1 = p1_int ? wp["p1"].asInt() : 0;

  if (action == kTakeoffCheck && index != 0) {
    report.error(" action=15(起飞位置检查) 必须是第一个航点");
  }

  if (action == kDetour || action == kJump) {
    const std::string head = " action=" + std::to_string(action) + "(Detour/Jump) 的 p1";
    if (!p1_int) {
      report.error(head + " 必须是整数");
    } else if (p1 < 0 || static_cast<long long>(p1) >= static_cast<long long>(count)) {
      report.error(head + "=" + std::to_string(p1) + " 超出航点范围 [0, " +
                   std::to_string(static_cast<long long>(count) - 1) + "]");
    } else if (static_cast<Json::ArrayIndex>(p1) == index) {
      report.warning(head + "=" + std::to_string(p1) + " 指向自身");
    }
  }

  if (action == kGrabber) {
    if (!p1_int) {
      report.error(" action=19(Grabber) 的 p1 必须是整数");
    } else if (p1 != 0 && p1 != 1 && (p1 < 500 || p1 > 2500)) {
      report.error(" action=19(Grabber) 的 p1=" + std::to_string(p1) +
                   " 无效，必须是 0, 1 或 500~2500");
    }
  }

  if (action == kYaw && !(wp.isMember("p1") && isNumeric(wp["p1"]))) {
    report.error(" action=20(旋转Yaw) 的 p1 必须是数值（弧度）");
  }
}

// Applies the waypoint rules to waypoint `index` of a mission with `count` waypoints, in the
// order their errors are listed.
void checkWaypoint(const Json::Value& wp, Json::ArrayIndex index, Json::ArrayIndex count,
                   ValidationResult& result) {
  const WaypointErrors report(index, result);
  if (!wp.isObject()) {
    report.error(" 不是对象");
    return;
  }
  checkMembers(wp, report);
  int action = 0;
  const bool has_action = readAction(wp, report, action);
  checkLight(wp, report);
  // The later rules depend only on an action that is present and an integer.
  if (has_action) checkActionRules(wp, action, index, count, report);
}

}  // namespace

ValidationResult MissionValidator::validate(const std::string& path) {
  ValidationResult result;
  result.file = path;

  const MissionFile file(path);
  if (!file.found()) {
    result.errors.push_back("文件不存在: " + path);
    return result;
  }
  if (!file.regular()) {
    result.errors.push_back(path + " is not a regular file (" + file.kind() + ")");
    return result;
  }

  Json::Value root;
  {
    const std::string text = file.read();
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
