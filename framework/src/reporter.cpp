#include "framework/reporter.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

#include "framework/json_writer.h"
#include "http_sender.h"

namespace drone_task {

namespace {

// {"percent":P,"message":"<escaped>","metadata":<metadata verbatim>}
std::string report_line(int percent, const std::string& message, const std::string& metadata) {
  JsonWriter line;
  line.begin_object()
      .field("percent", percent)
      .field("message", message)
      .key("metadata")
      .raw(metadata)
      .end_object();
  return line.str();
}

bool reports_failure(const std::string& document) {
  return document.find("\"success\":false") != std::string::npos ||
         document.find("\"success\": false") != std::string::npos;
}

}  // namespace

const char* version() { return DRONE_TASKS_VERSION; }

Reporter::Reporter() : Reporter(std::cout) {}

Reporter::Reporter(std::ostream& out) : out_(out) {}

Reporter::~Reporter() = default;

void Reporter::init(const std::string& url) {
  url_ = url;
  if (url_.empty() || http_ != nullptr) return;
  http_ = detail::HttpSender::create(url_);
}

void Reporter::report(int percent, const std::string& message, const std::string& metadata) {
  const std::string line = report_line(percent, message, metadata);
  send_stdout(line);
  send_http(line);
}

void Reporter::report_intermediate(int percent, const std::string& message,
                                   const std::string& metadata) {
  const std::string line = report_line(percent, message, metadata);
  send_stdout(line);
  if (http_ != nullptr) http_->offer(line);
}

void Reporter::finish(const Result& result) {
  JsonWriter metadata;
  metadata.begin_object().key("result").raw(result.json).key("files").begin_array();
  for (const ResultFile& f : result.files) {
    metadata.begin_object()
        .field("title", f.title)
        .field("remark", f.remark)
        .field("path", f.path)
        .end_object();
  }
  metadata.end_array().end_object();
  const std::string message = reports_failure(result.json) ? "任务失败" : "任务完成";
  const std::string line = report_line(100, message, metadata.str());
  send_stdout(line);
  send_http(line);
}

void Reporter::finish(const std::string& result_json) { finish(Result{result_json, {}}); }

void Reporter::finish(const std::string& result_json, const std::vector<ResultFile>& files) {
  finish(Result{result_json, files});
}

void Reporter::send_stdout(const std::string& line) {
  if (!output_error_.empty()) return;
  errno = 0;
  out_ << "{\"_progress\":" << line << "}\n" << std::flush;
  if (!out_) {
    const int error = errno != 0 ? errno : EIO;
    output_error_ = std::string("无法写入标准输出: ") + std::strerror(error);
  }
}

void Reporter::send_http(const std::string& line) {
  if (http_ != nullptr) http_->post(line);
}

}  // namespace drone_task
