#include "http_sender.h"

#include <curl/curl.h>

#include <utility>

namespace drone_task {
namespace detail {

namespace {

// Takes nothing of a response body: libcurl then ends the transfer with a write error, which
// is ignored like every other HTTP failure.
size_t refuse_body(char* /*data*/, size_t /*size*/, size_t /*count*/, void* /*user*/) { return 0; }

CURL* easy(void* handle) { return static_cast<CURL*>(handle); }

// A header list that frees itself.
class Headers {
 public:
  Headers() : list_(curl_slist_append(nullptr, "Content-Type: application/json")) {}
  ~Headers() { curl_slist_free_all(list_); }
  Headers(const Headers&) = delete;
  Headers& operator=(const Headers&) = delete;
  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_;
};

}  // namespace

std::unique_ptr<HttpSender> HttpSender::create(const std::string& url) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return nullptr;
  // Reports go to an HTTP endpoint only: a file://, gopher:// or telnet:// URL (or a redirect
  // to one) must not read local files or write the report to an arbitrary port. A libcurl that
  // cannot be restricted posts nothing. No signals either: the background thread times out too.
  if (curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK ||
      curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK ||
      curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) != CURLE_OK) {
    curl_easy_cleanup(curl);
    return nullptr;
  }
  return std::unique_ptr<HttpSender>(new HttpSender(url, curl));
}

HttpSender::HttpSender(std::string url, void* easy) : url_(std::move(url)), easy_(easy) {}

HttpSender::~HttpSender() {
  {
    const std::lock_guard<std::mutex> lock(state_mutex_);
    stop_ = true;
  }
  ++generation_;
  if (multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi_));
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (multi_ != nullptr) curl_multi_cleanup(static_cast<CURLM*>(multi_));
  curl_easy_cleanup(easy(easy_));
}

void HttpSender::prepare(const std::string& line, void* headers) {
  CURL* curl = easy(easy_);
  curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, line.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(headers));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 5L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &refuse_body);
}

void HttpSender::post(const std::string& line) {
  void* multi = nullptr;
  {
    const std::lock_guard<std::mutex> lock(state_mutex_);
    has_waiting_ = false;
    multi = multi_;
  }
  ++generation_;
  if (multi != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi));
  const std::lock_guard<std::mutex> lock(handle_mutex_);
  const Headers headers;
  prepare(line, headers.get());
  curl_easy_perform(easy(easy_));
  // The handle keeps the list until the next post replaces it; unset it before freeing.
  curl_easy_setopt(easy(easy_), CURLOPT_HTTPHEADER, nullptr);
}

void HttpSender::offer(const std::string& line) {
  const std::lock_guard<std::mutex> lock(state_mutex_);
  if (stop_ || busy_ || has_waiting_) return;
  if (!thread_.joinable()) {
    CURLM* multi = curl_multi_init();
    if (multi == nullptr) return;
    multi_ = multi;
    thread_ = std::thread([this] { background(); });
  }
  waiting_ = line;
  has_waiting_ = true;
  wake_.notify_all();
}

void HttpSender::background() {
  for (;;) {
    std::unique_lock<std::mutex> lock(state_mutex_);
    wake_.wait(lock, [this] { return stop_ || has_waiting_; });
    if (stop_) return;
    const std::string line = std::move(waiting_);
    has_waiting_ = false;
    busy_ = true;
    const unsigned long generation = generation_;
    lock.unlock();
    {
      const std::lock_guard<std::mutex> handle_lock(handle_mutex_);
      if (generation_ == generation) post_offered(line, generation);
    }
    lock.lock();
    busy_ = false;
  }
}

void HttpSender::post_offered(const std::string& line, unsigned long generation) {
  auto* multi = static_cast<CURLM*>(multi_);
  const Headers headers;
  prepare(line, headers.get());
  if (curl_multi_add_handle(multi, easy(easy_)) != CURLM_OK) return;
  int running = 1;
  while (running > 0 && generation_ == generation) {
    if (curl_multi_perform(multi, &running) != CURLM_OK) break;
    if (running > 0) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  curl_multi_remove_handle(multi, easy(easy_));
  curl_easy_setopt(easy(easy_), CURLOPT_HTTPHEADER, nullptr);
}

}  // namespace detail
}  // namespace drone_task
