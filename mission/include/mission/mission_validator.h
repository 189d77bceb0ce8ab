#pragma once

#include <map>
#include <string>
#include <vector>

namespace mission_validate {

// Everything one check of a mission file found. Filled in one pass; nothing in it refers back
// to the file once the check has returned.
struct ValidationResult {
  // The path exactly as it was passed to validate(); empty when the caller passed an empty path.
  std::string file;
  // True when the file was read and parsed, has at least one waypoint and produced no error.
  // Warnings never clear it. False on every early stop.
  bool valid = false;
  // Number of elements of the "tasks" array; 0 when the check stopped before "tasks" was known
  // to be an array, or when the array is empty.
  int waypoint_count = 0;
  // Error sentences (Chinese, UTF-8) in the order found: waypoints in array order, the rules of
  // one waypoint in their fixed order. Empty when nothing is wrong.
  std::vector<std::string> errors;
  // Warning sentences in the order found; they never make the mission invalid. Empty when none.
  std::vector<std::string> warnings;
  // Action name to the number of waypoints that carry that action code, ordered by plain byte
  // comparison of the names. Only codes 0 to 20 count; empty when no waypoint had a valid code.
  std::map<std::string, int> action_summary;
};

// Checks drone mission files against the flight rules. Holds no state.
class MissionValidator {
 public:
  // Reads the mission file at `path`, parses it as JSON and applies the structural rules and
  // then every waypoint rule to every waypoint, collecting all findings. A file that cannot be
  // opened (missing, unreadable, a directory) or parsed, or whose structure is wrong, ends the
  // check with exactly one error. Never throws for any file content and never prints.
  static ValidationResult validate(const std::string& path);
};

}  // namespace mission_validate
