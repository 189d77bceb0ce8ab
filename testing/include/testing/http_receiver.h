#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace drone_test {

// One request as the receiver read it.
struct HttpRequest {
  std::string method;
  std::string target;
  std::map<std::string, std::string> headers;  // names lowered
  std::string body;
};

// A small HTTP/1.1 server on 127.0.0.1 with a port of its own, run on a background thread
// for the life of the object. It records every request. In Mode::kAnswer it replies
// "200 OK" with a short body; in Mode::kSilent it reads the request and never answers,
// holding the connection until the client gives up.
class HttpReceiver {
 public:
  enum class Mode { kAnswer, kSilent };
  explicit HttpReceiver(Mode mode = Mode::kAnswer);
  ~HttpReceiver();
  HttpReceiver(const HttpReceiver&) = delete;
  HttpReceiver& operator=(const HttpReceiver&) = delete;

  int port() const { return port_; }
  std::string url() const;  // http://127.0.0.1:<port>/report
  std::vector<HttpRequest> requests() const;
  // Connections accepted so far, whether or not they carried an HTTP request.
  int connections() const;

 private:
  void serve();

  Mode mode_;
  int listen_fd_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};  // written to on destruction to stop serve()
  mutable std::mutex mutex_;
  std::vector<HttpRequest> requests_;
  int connections_ = 0;
  std::thread thread_;
};

// A 127.0.0.1 port with nothing listening on it (connections are refused).
int refused_port();

}  // namespace drone_test
