// routecheck_node: checks one drone mission file before it is flown.
#include "framework/entry.h"
#include "mission_validate_task.h"

namespace {

constexpr drone_task::ProgramInfo kInfo{
    "routecheck_node",
    "Usage: routecheck_node --mission-file PATH [--source-dir DIR]\n"
    "\n"
    "Checks a JSON waypoint mission against the flight rules, lists every error and warning\n"
    "and counts the waypoints of each action.\n"
    "\n"
    "Options:\n"
    "  --mission-file PATH  mission file, absolute or relative to --source-dir (default: none,\n"
    "                       which reports the file as missing)\n"
    "  --source-dir DIR     directory of relative mission files; a leading ~ stands for $HOME\n"
    "                       (default: ~/savemission)\n"
    "  --help               print this text; --version prints the version\n"
    "\n"
    "Output: one JSON report per line on standard output ({\"_progress\":{...}}) at 0, 50 and\n"
    "100 percent, then the final line whose metadata \"result\" holds the result document:\n"
    "  success, file, waypoint_count, valid, error_count, warning_count, errors, warnings,\n"
    "  action_summary\n"
    "\n"
    "Environment:\n"
    "  DRONE_TASK_PROGRESS_URL  when set, every report is also POSTed to this URL\n"
    "  HOME                     home directory that a leading ~ stands for\n"
    "\n"
    "Exit status: 0 when the mission has no errors (warnings allowed), 1 when it has errors or\n"
    "cannot be read.\n"};

}  // namespace

int main(int argc, char** argv) {
  return drone_task::run_main<MissionValidateTask>(argc, argv, kInfo);
}
