#pragma once

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <ostream>
#include <string>

#include "framework/json_writer.h"
#include "framework/params.h"
#include "framework/reporter.h"
#include "framework/standard_streams.h"
#include "framework/task.h"

namespace drone_task {

// What a program says of itself for --help and --version.
struct ProgramInfo {
  const char* name;   // program name, such as "bagstat_node"
  const char* usage;  // full usage text printed by --help
};

// The suite's version, as built into libtaskkit.
const char* version();

namespace detail {

// Ends a run whose report lines could not all be written on standard output: the error report
// (for the endpoint; standard output is lost), the [ERROR] line and status 1.
inline int output_failure(Reporter& reporter) {
  const std::string text = reporter.output_error();
  reporter.report(100, "错误: " + text, error_metadata(text));
  std::cerr << "[ERROR] " << text << std::endl;
  return 1;
}

// Ends a run whose task threw `failure`: for a FailureWithResult first the final line of the
// failure document, then the error report, the [ERROR] line and status 1.
inline int task_failure(Reporter& reporter, const std::exception& failure) {
  const std::string text = failure.what();
  if (dynamic_cast<const FailureWithResult*>(&failure) != nullptr) {
    reporter.finish(failure_document(text));
  }
  reporter.report(100, "错误: " + text, error_metadata(text));
  std::cerr << "[ERROR] " << text << std::endl;
  return 1;
}

}  // namespace detail

// The whole life of a program: parse the command line, point the reporter at
// DRONE_TASK_PROGRESS_URL when that variable is set (even to the empty text), run one TaskT.
// Returns 0 when run() returns; when it throws a std::exception, sends the error report
// (100 percent, "错误: " + text, {"error":"<escaped text>"}), writes "[ERROR] " + text to
// standard error and returns 1. A FailureWithResult is first announced as the final result,
// {"success":false,"error":"<escaped text>"} (message "任务失败"). This is the one place where a
// failed task's lines are written. --help and --version print their text on standard output and
// return 0 without running the task.
//
// A report line that cannot be written on standard output (a full disk, a closed pipe) fails
// the run the same way, with the text "无法写入标准输出: <reason>", once the task has
// ended; so does --help or --version. SIGPIPE is ignored, so that a closed pipe ends the program
// with this report and status 1 rather than killing it without a word; so is SIGXFSZ, so that a
// write beyond a file size limit (ulimit -f) fails with "File too large" and is reported.
//
// Before anything else, descriptors 0 to 2 that are closed are opened on /dev/null. While the
// task runs, standard output carries the report lines only: what a library prints there goes
// to standard error.
template <class TaskT>
int run_main(int argc, char** argv, const ProgramInfo& info) {
  detail::open_standard_descriptors();
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  const Params params(parse_args(argc, argv));
  if (params.has("help") || params.has("version")) {
    errno = 0;
    if (params.has("help")) {
      std::cout << info.usage << std::flush;
    } else {
      std::cout << info.name << ' ' << version() << std::endl;
    }
    if (std::cout) return 0;
    std::cerr << "[ERROR] 无法写入标准输出: " << std::strerror(errno != 0 ? errno : EIO)
              << std::endl;
    return 1;
  }
  const std::unique_ptr<std::ostream> report_output = detail::claim_standard_output();
  Reporter reporter(*report_output);
  if (const char* url = std::getenv("DRONE_TASK_PROGRESS_URL")) reporter.init(url);
  try {
    TaskT task;
    task.run(params, reporter);
  } catch (const std::exception& e) {
    return detail::task_failure(reporter, e);
  }
  if (!reporter.output_error().empty()) return detail::output_failure(reporter);
  return 0;
}

}  // namespace drone_task
