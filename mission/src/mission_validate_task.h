#pragma once

#include <string>

#include "framework/task.h"

namespace mission_validate {
struct ValidationResult;
}  // namespace mission_validate

// The mission file that the options name: `file` as it is when it is empty or absolute;
// otherwise joined under `source_dir` (one "/" between them unless the directory already ends
// in one), where a leading "~" of the directory stands for `home`. A result that still begins
// with "~" (an empty directory and a "~/..." file) has that "~" replaced by `home` as well.
// `home` null means HOME is unset: every "~" then stays as written. Nothing else is normalised.
std::string resolve_mission_path(const std::string& file, const std::string& source_dir,
                                 const char* home);

// The job of routecheck_node: checks one mission file and reports the findings. Options:
// "mission-file" (absolute, or relative to "source-dir") and "source-dir" (default
// "~/savemission"). Sends 0, 50 and 100 percent, then the result document with finish(); throws
// std::runtime_error with the closing message when the mission has errors.
class MissionValidateTask : public drone_task::Task {
 public:
  ~MissionValidateTask() override = default;
  void run(const drone_task::Params& params, drone_task::Reporter& reporter) override;

 private:
  // The framework's JSON string escaping; one rule for every text the system writes.
  static std::string escape_json(const std::string& text);
  // The compact result document, keys in their fixed order.
  static std::string result_document(const mission_validate::ValidationResult& result);
};
