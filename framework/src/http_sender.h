#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace drone_task {
namespace detail {

// Posts report lines to one endpoint over http or https on one reused libcurl handle: each post
// carries the line as a JSON body, waits at most 5 s and ignores every failure and the response.
// post() blocks the caller as long as the transfer lasts; offer() hands a line to a background
// thread and returns at once, and drops it while the previous offered line is still waiting or
// in flight. Posts reach the endpoint in call order: a post() first abandons an offered line
// that is waiting or in flight. The thread starts with the first offer(). Neither call throws
// on its own account.
class HttpSender {
 public:
  // Null when libcurl cannot be set up or restricted to http and https.
  static std::unique_ptr<HttpSender> create(const std::string& url);
  ~HttpSender();
  HttpSender(const HttpSender&) = delete;
  HttpSender& operator=(const HttpSender&) = delete;

  void post(const std::string& line);
  void offer(const std::string& line);

 private:
  HttpSender(std::string url, void* easy);
  // Sets up the handle for one post of `line` (which must outlive the transfer).
  void prepare(const std::string& line, void* headers);
  void background();
  // One offered line through the multi interface, abandoned as soon as `generation_` moves on.
  void post_offered(const std::string& line, unsigned long generation);

  const std::string url_;
  void* easy_;               // libcurl easy handle, owned; used by one thread at a time
  void* multi_ = nullptr;    // libcurl multi handle of the background thread, owned
  std::mutex handle_mutex_;  // held for the whole of each transfer on easy_
  std::mutex state_mutex_;   // guards the fields below
  std::condition_variable wake_;
  std::string waiting_;
  bool has_waiting_ = false;
  bool busy_ = false;  // an offered line has been taken and its post has not ended
  bool stop_ = false;
  // Moves on with every post() and at destruction: an offered line taken before is abandoned.
  std::atomic<unsigned long> generation_{0};
  std::thread thread_;
};

}  // namespace detail
}  // namespace drone_task
