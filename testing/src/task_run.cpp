#include "testing/task_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <sstream>

#include "framework/escape_json.h"
#include "framework/reporter.h"
#include "testing/process.h"

namespace drone_test {

TaskRun run_task(drone_task::Task& task, const drone_task::ParamMap& options) {
  std::ostringstream out;
  TaskRun run;
  {
    drone_task::Reporter reporter(out);
    try {
      task.run(drone_task::Params(options), reporter);
    } catch (const std::exception& e) {
      run.threw = true;
      run.error = e.what();
      run.failure_with_result = dynamic_cast<const drone_task::FailureWithResult*>(&e) != nullptr;
    }
  }
  run.lines = split_lines(out.str());
  return run;
}

TaskRun run_task(drone_task::Task& task, const std::vector<std::string>& words) {
  std::vector<std::string> argv_words = {"program"};
  argv_words.insert(argv_words.end(), words.begin(), words.end());
  std::vector<char*> argv;
  argv.reserve(argv_words.size());
  for (std::string& w : argv_words) argv.push_back(w.data());
  return run_task(task, drone_task::parse_args(static_cast<int>(argv.size()), argv.data()));
}

std::string progress_line(int percent, const std::string& message) {
  return R"({"_progress":{"percent":)" + std::to_string(percent) + R"(,"message":")" + message +
         R"(","metadata":{}}})";
}

std::string final_line(const std::string& message, const std::string& document) {
  return R"({"_progress":{"percent":100,"message":")" + message + R"(","metadata":{"result":)" +
         document + R"(,"files":[]}}})";
}

std::string error_line(const std::string& text) {
  const std::string escaped = drone_task::escape_json(text);
  return R"({"_progress":{"percent":100,"message":"错误: )" + escaped +
         R"(","metadata":{"error":")" + escaped + R"("}}})";
}

std::vector<std::string> without_progress_steps(std::vector<std::string> lines,
                                                const std::string& message) {
  const std::string marker = "\"message\":\"" + message + "\",";
  lines.erase(std::remove_if(
                  lines.begin(), lines.end(),
                  [&](const std::string& line) { return line.find(marker) != std::string::npos; }),
              lines.end());
  return lines;
}

std::string document_of(const std::string& line) {
  const std::string head = R"("metadata":{"result":)";
  const std::string tail = R"(,"files":[]}}})";
  const size_t start = line.find(head);
  if (start == std::string::npos || line.size() < start + head.size() + tail.size() ||
      line.compare(line.size() - tail.size(), tail.size(), tail) != 0) {
    ADD_FAILURE() << "not a final line: " << line;
    return "";
  }
  return line.substr(start + head.size(), line.size() - tail.size() - start - head.size());
}

}  // namespace drone_test
