#pragma once

#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "framework/params.h"
#include "framework/reporter.h"
#include "framework/task.h"

namespace drone_task {

// What a program says of itself for --help and --version.
struct ProgramInfo {
  const char* name;   // program name, such as "bagstat_node"
  const char* usage;  // full usage text printed by --help
};

// The suite's version, as built into libtaskkit.
const char* version();

// The whole life of a program: parse the command line, point the reporter at
// DRONE_TASK_PROGRESS_URL when that variable is set (even to the empty text), run one TaskT.
// Returns 0 when run() returns; when it throws a std::exception, sends the error report
// (100 percent, "错误: " + text, {"error":"<escaped text>"}), writes "[ERROR] " + text to
// standard error and returns 1. --help and --version print their text on standard output and
// return 0 without running the task.
template <class TaskT>
int run_main(int argc, char** argv, const ProgramInfo& info) {
  const Params params(parse_args(argc, argv));
  if (params.has("help")) {
    std::cout << info.usage << std::flush;
    return 0;
  }
  if (params.has("version")) {
    std::cout << info.name << ' ' << version() << std::endl;
    return 0;
  }
  Reporter reporter;
  if (const char* url = std::getenv("DRONE_TASK_PROGRESS_URL")) reporter.init(url);
  try {
    TaskT task;
    task.run(params, reporter);
  } catch (const std::exception& e) {
    const std::string text = e.what();
    reporter.report(100, "错误: " + text, "{\"error\":\"" + escape_json(text) + "\"}");
    std::cerr << "[ERROR] " << text << std::endl;
    return 1;
  }
  return 0;
}

}  // namespace drone_task
