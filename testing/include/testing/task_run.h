#pragma once

// Running a task in-process as the entry does, and the report lines tests expect of it.

#include <string>
#include <vector>

#include "framework/params.h"
#include "framework/task.h"

namespace drone_test {

// What one run of a task left behind.
struct TaskRun {
  std::vector<std::string> lines;  // the report lines, without their newlines
  bool threw = false;              // run() was left by an exception
  std::string error;               // that exception's what(); empty when run() returned
  // The exception was a drone_task::FailureWithResult, which the entry announces as the
  // failure document before its error report; false when run() returned.
  bool failure_with_result = false;
};

// Runs `task` with `options` against a reporter that prints into a string (no HTTP), catching
// what run() throws, as the entry does.
TaskRun run_task(drone_task::Task& task, const drone_task::ParamMap& options);

// The same with the options read from command-line words as the entry reads them (`words`
// without the program's name).
TaskRun run_task(drone_task::Task& task, const std::vector<std::string>& words);

// A default-constructed T run with `options`.
template <class T>
TaskRun run_task(const drone_task::ParamMap& options) {
  T task;
  return run_task(task, options);
}

// The report lines as the reporter prints them; every text is put in as given (already escaped).
// A progress line: {"_progress":{"percent":P,"message":"M","metadata":{}}}.
std::string progress_line(int percent, const std::string& message);
// The final line of a result document, with no files.
std::string final_line(const std::string& message, const std::string& document);
// The entry's line for a failed run with the error `text`, escaped as the entry escapes it.
std::string error_line(const std::string& text);

// `lines` without the intermediate progress lines a long step reports under `message` (they
// appear only when the step runs longer than a second, as it may on a slow or instrumented
// build).
std::vector<std::string> without_progress_steps(std::vector<std::string> lines,
                                                const std::string& message);

// The result document inside a final line, cut out as text; adds a test failure and returns ""
// when `line` is not a final line.
std::string document_of(const std::string& line);

}  // namespace drone_test
