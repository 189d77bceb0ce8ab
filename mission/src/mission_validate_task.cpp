#include "mission_validate_task.h"

#include <cstdlib>
#include <stdexcept>

#include "framework/escape_json.h"
#include "framework/json_writer.h"
#include "framework/params.h"
#include "framework/reporter.h"
#include "mission/mission_validator.h"

std::string resolve_mission_path(const std::string& file, const std::string& source_dir,
                                 const char* home) {
  std::string path = file;
  if (!path.empty() && path.front() != '/') {
    std::string dir = source_dir;
    if (!dir.empty() && dir.front() == '~' && home != nullptr) dir = home + dir.substr(1);
    if (!dir.empty() && dir.back() != '/') dir += '/';
    path = dir + file;
  }
  if (!path.empty() && path.front() == '~' && home != nullptr) path = home + path.substr(1);
  return path;
}

std::string MissionValidateTask::escape_json(const std::string& text) {
  return drone_task::escape_json(text);
}

std::string MissionValidateTask::result_document(const mission_validate::ValidationResult& r) {
  drone_task::JsonWriter doc;
  doc.begin_object()
      .field("success", r.valid)
      .field("file", r.file)
      .field("waypoint_count", r.waypoint_count)
      .field("valid", r.valid)
      .field("error_count", r.errors.size())
      .field("warning_count", r.warnings.size())
      .field("errors", r.errors)
      .field("warnings", r.warnings)
      .key("action_summary")
      .begin_object();
  for (const auto& entry : r.action_summary) doc.field(entry.first, entry.second);
  doc.end_object().end_object();
  return doc.str();
}

void MissionValidateTask::run(const drone_task::Params& params, drone_task::Reporter& reporter) {
  const std::string path =
      resolve_mission_path(params.get_path("mission-file", ""),
                           params.get_string("source-dir", "~/savemission"), std::getenv("HOME"));
  reporter.report(0, "开始验证: " + path, "{}");

  const mission_validate::ValidationResult result =
      mission_validate::MissionValidator::validate(path);
  reporter.report(50, "验证完成，正在生成报告...", "{}");

  const std::string document = result_document(result);
  const std::string closing =
      result.valid ? "验证通过" : "发现 " + std::to_string(result.errors.size()) + " 个错误";
  reporter.report(100, closing, "{}");
  reporter.finish(document);
  if (!result.valid) throw std::runtime_error(closing);
}
