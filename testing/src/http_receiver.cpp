#include "testing/http_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace drone_test {

namespace {

int listen_on_loopback(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
    close(fd);
    throw std::runtime_error("bind/listen on 127.0.0.1 failed");
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Parses as much of `data` as forms one complete request; false while more bytes are needed.
bool parse_request(const std::string& data, HttpRequest* req) {
  const size_t head_end = data.find("\r\n\r\n");
  if (head_end == std::string::npos) return false;
  const std::string head = data.substr(0, head_end);
  size_t pos = head.find("\r\n");
  const std::string request_line = head.substr(0, pos);
  const size_t sp1 = request_line.find(' ');
  const size_t sp2 = request_line.find(' ', sp1 + 1);
  req->method = request_line.substr(0, sp1);
  req->target = request_line.substr(sp1 + 1, sp2 - sp1 - 1);
  req->headers.clear();
  while (pos != std::string::npos && pos < head.size()) {
    const size_t start = pos + 2;
    pos = head.find("\r\n", start);
    const std::string line = head.substr(start, pos == std::string::npos ? pos : pos - start);
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    req->headers[lower(line.substr(0, colon))] = value;
  }
  size_t length = 0;
  const auto it = req->headers.find("content-length");
  if (it != req->headers.end()) length = std::strtoul(it->second.c_str(), nullptr, 10);
  if (data.size() < head_end + 4 + length) return false;
  req->body = data.substr(head_end + 4, length);
  return true;
}

}  // namespace

HttpReceiver::HttpReceiver(Mode mode) : mode_(mode) {
  listen_fd_ = listen_on_loopback(&port_);
  if (pipe(wake_) != 0) throw std::runtime_error("pipe failed");
  thread_ = std::thread([this] { serve(); });
}

HttpReceiver::~HttpReceiver() {
  const char stop = 'x';
  (void)!write(wake_[1], &stop, 1);
  thread_.join();
  close(listen_fd_);
  close(wake_[0]);
  close(wake_[1]);
}

std::string HttpReceiver::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/report";
}

std::vector<HttpRequest> HttpReceiver::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

int HttpReceiver::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

void HttpReceiver::serve() {
  struct Connection {
    int fd;
    std::string data;
  };
  std::vector<Connection> conns;
  for (;;) {
    std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    for (const Connection& c : conns) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        conns.push_back({fd, {}});
        std::lock_guard<std::mutex> lock(mutex_);
        ++connections_;
      }
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Connection& c = conns[i - 2];
      char buf[8192];
      const ssize_t n = read(c.fd, buf, sizeof buf);
      if (n <= 0) {
        close(c.fd);
        c.fd = -1;
        continue;
      }
      c.data.append(buf, static_cast<size_t>(n));
      HttpRequest req;
      if (!parse_request(c.data, &req)) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(req);
      }
      if (mode_ == Mode::kAnswer) {
        const std::string reply =
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n"
            "Connection: close\r\n\r\nok";
        (void)!write(c.fd, reply.data(), reply.size());
        close(c.fd);
        c.fd = -1;
      } else {
        c.data.clear();  // keep the connection open and silent
      }
    }
    conns.erase(
        std::remove_if(conns.begin(), conns.end(), [](const Connection& c) { return c.fd < 0; }),
        conns.end());
  }
  for (const Connection& c : conns) close(c.fd);
}

int refused_port() {
  int port = 0;
  const int fd = listen_on_loopback(&port);
  close(fd);
  return port;
}

}  // namespace drone_test
