#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "framework/escape_json.h"

namespace drone_task {

namespace detail {
class HttpSender;
}  // namespace detail

// One output file announced with the final result.
struct ResultFile {
  std::string title;   // display title
  std::string remark;  // short description, such as the file format
  std::string path;    // the file's path as the task wrote it
};

// The final result of a task.
struct Result {
  std::string json;               // complete JSON document, inserted verbatim (never escaped)
  std::vector<ResultFile> files;  // output files; empty when the task writes none
};

// The task's only channel to whoever started it. Every report is one compact JSON line,
// printed on standard output as {"_progress":<line>} and, once init() named an endpoint, posted
// unwrapped to it over http or https only (5 s limit per post, every HTTP failure ignored; a URL
// of any other scheme makes no connection and counts as such a failure). The lines of report()
// and finish() are posted before the call returns; intermediate lines are posted in the
// background (see report_intermediate()). The endpoint receives the lines in call order. A
// failed write on standard output is kept for output_error() and ends the printing, not the
// posting. Never throws on its own account. One reporter per process, used from one thread;
// not copyable.
class Reporter {
 public:
  // Prints to std::cout.
  Reporter();
  // Prints to `out` instead; lets tests read the lines.
  explicit Reporter(std::ostream& out);
  ~Reporter();
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;

  // Points the reporter at an HTTP endpoint. An empty URL leaves HTTP off.
  void init(const std::string& url);

  // A progress line: {"percent":P,"message":"<escaped>","metadata":<metadata verbatim>}.
  void report(int percent, const std::string& message, const std::string& metadata);

  // A progress line like report()'s, sent while a long step works. It is printed at once, but
  // posted by a background sender that drops it while the previous intermediate line is still
  // waiting or in flight, so that a slow endpoint never delays the caller. A later report() or
  // finish() abandons such a post, so the endpoint never sees lines out of order.
  void report_intermediate(int percent, const std::string& message, const std::string& metadata);

  // The final line at 100 percent with {"result":<document>,"files":[...]} as metadata. Its
  // message is "任务失败" when the document contains "success":false or "success": false,
  // "任务完成" otherwise.
  void finish(const Result& result);
  void finish(const std::string& result_json);
  void finish(const std::string& result_json, const std::vector<ResultFile>& files);

  // Why a report line could not be written on standard output (a full disk, a closed pipe), as
  // "无法写入标准输出: <the system's text>"; empty while every line was written.
  const std::string& output_error() const { return output_error_; }

 private:
  void send_stdout(const std::string& line);
  void send_http(const std::string& line);

  std::ostream& out_;
  std::string url_;  // the endpoint; empty means no HTTP
  // Posts to url_ on one reused libcurl handle; null: no HTTP.
  std::unique_ptr<detail::HttpSender> http_;
  std::string output_error_;  // the first failed write on standard output; empty: none
};

}  // namespace drone_task
