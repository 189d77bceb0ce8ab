#include "framework/reporter.h"

#include <curl/curl.h>

#include <iostream>
#include <string>

namespace drone_task {

namespace {

// Takes nothing of a response body: libcurl then ends the transfer with a write error, which
// the reporter ignores like every other HTTP failure.
size_t refuse_body(char*, size_t, size_t, void*) { return 0; }

bool reports_failure(const std::string& document) {
  return document.find("\"success\":false") != std::string::npos ||
         document.find("\"success\": false") != std::string::npos;
}

}  // namespace

std::string escape_json(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 8);
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += kHex[(c >> 4) & 0xF];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out;
}

const char* version() { return DRONE_TASKS_VERSION; }

Reporter::Reporter() : Reporter(std::cout) {}

Reporter::Reporter(std::ostream& out) : out_(out) {}

Reporter::~Reporter() {
  if (curl_ != nullptr) curl_easy_cleanup(static_cast<CURL*>(curl_));
}

void Reporter::init(const std::string& url) {
  url_ = url;
  if (!url_.empty() && curl_ == nullptr) curl_ = curl_easy_init();
}

void Reporter::report(int percent, const std::string& message, const std::string& metadata) {
  const std::string line = "{\"percent\":" + std::to_string(percent) + ",\"message\":\"" +
                           escape_json(message) + "\",\"metadata\":" + metadata + "}";
  send_stdout(line);
  send_http(line);
}

void Reporter::finish(const Result& result) {
  std::string metadata = "{\"result\":" + result.json + ",\"files\":[";
  bool first = true;
  for (const ResultFile& f : result.files) {
    if (!first) metadata += ',';
    first = false;
    metadata += "{\"title\":\"" + escape_json(f.title) + "\",\"remark\":\"" +
                escape_json(f.remark) + "\",\"path\":\"" + escape_json(f.path) + "\"}";
  }
  metadata += "]}";
  const std::string message = reports_failure(result.json) ? "任务失败" : "任务完成";
  const std::string line = "{\"percent\":100,\"message\":\"" + escape_json(message) +
                           "\",\"metadata\":" + metadata + "}";
  send_stdout(line);
  send_http(line);
}

void Reporter::finish(const std::string& result_json) { finish(Result{result_json, {}}); }

void Reporter::finish(const std::string& result_json, const std::vector<ResultFile>& files) {
  finish(Result{result_json, files});
}

void Reporter::send_stdout(const std::string& line) {
  out_ << "{\"_progress\":" << line << "}\n" << std::flush;
}

void Reporter::send_http(const std::string& line) {
  if (url_.empty() || curl_ == nullptr) return;
  CURL* curl = static_cast<CURL*>(curl_);
  curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, line.c_str());
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 5L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &refuse_body);
  curl_easy_perform(curl);
  // The handle keeps the list until the next post replaces it; unset it before freeing.
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(headers);
}

}  // namespace drone_task
