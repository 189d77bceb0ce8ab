#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "framework/reporter.h"
#include "testing/http_receiver.h"
#include "testing/process.h"

namespace {

using drone_task::Reporter;
using drone_test::HttpReceiver;
using Clock = std::chrono::steady_clock;

// The lines of a stdout capture with their "_progress" wrapper taken off.
std::vector<std::string> unwrapped(const std::string& out) {
  std::vector<std::string> lines;
  const std::string prefix = "{\"_progress\":";
  for (const std::string& line : drone_test::split_lines(out)) {
    EXPECT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
    EXPECT_EQ(line.back(), '}');
    lines.push_back(line.substr(prefix.size(), line.size() - prefix.size() - 1));
  }
  return lines;
}

TEST(HttpSink, PostsEveryLineInOrderUnwrapped) {
  HttpReceiver receiver;
  std::ostringstream out;
  {
    Reporter reporter(out);
    reporter.init(receiver.url());
    reporter.report(0, "开始 \"q\"", "{}");
    reporter.report(50, "half", "{\"n\":1}");
    reporter.finish("{\"success\":true}", {{"t", "r", "/p"}});
  }
  const std::vector<std::string> lines = unwrapped(out.str());
  const auto requests = receiver.requests();
  ASSERT_EQ(requests.size(), 3u);
  ASSERT_EQ(lines.size(), 3u);
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].method, "POST");
    EXPECT_EQ(requests[i].target, "/report");
    EXPECT_EQ(requests[i].headers.at("content-type"), "application/json");
    EXPECT_EQ(requests[i].body, lines[i]);
  }
}

TEST(HttpSink, SilentEndpointCostsAtMostTheTimeoutAndNeverDelaysStdout) {
  HttpReceiver receiver(HttpReceiver::Mode::kSilent);
  std::ostringstream out;
  Reporter reporter(out);
  reporter.init(receiver.url());
  const auto start = Clock::now();
  reporter.report(0, "first", "{}");
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  // The line is out although the post got no answer.
  EXPECT_EQ(unwrapped(out.str()).size(), 1u);
  EXPECT_GE(elapsed, 4.0);
  EXPECT_LT(elapsed, 8.0);
  EXPECT_EQ(receiver.requests().size(), 1u);
}

TEST(HttpSink, RefusedPortIsIgnored) {
  std::ostringstream out;
  Reporter reporter(out);
  reporter.init("http://127.0.0.1:" + std::to_string(drone_test::refused_port()) + "/r");
  reporter.report(0, "a", "{}");
  reporter.finish("{}");
  EXPECT_EQ(unwrapped(out.str()).size(), 2u);
}

TEST(HttpSink, EndpointThroughTheEnvironment) {
  HttpReceiver receiver;
  const auto run = drone_test::run_process({drone_test::program_path("taskkit_probe")},
                                           {{"DRONE_TASK_PROGRESS_URL", receiver.url()}});
  EXPECT_EQ(run.exit_code, 0);
  const auto lines = unwrapped(run.out);
  const auto requests = receiver.requests();
  ASSERT_EQ(requests.size(), lines.size());
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(requests[i].body, lines[i]);
}

TEST(HttpSink, EmptyVariableMakesNoRequest) {
  // An endpoint that exists, so a stray request would be seen, and an empty variable.
  HttpReceiver receiver;
  const auto run = drone_test::run_process({drone_test::program_path("taskkit_probe")},
                                           {{"DRONE_TASK_PROGRESS_URL", ""}});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(unwrapped(run.out).size(), 3u);
  EXPECT_TRUE(receiver.requests().empty());
}

TEST(HttpSink, SpeaksHttpOnly) {
  // A report URL of another scheme would have libcurl read local files or write the report to
  // any port; the listener sees no connection, and the line is printed as ever.
  HttpReceiver receiver;
  const std::string host = "127.0.0.1:" + std::to_string(receiver.port());
  for (const std::string& url :
       {"gopher://" + host + "/1x", "dict://" + host + "/d:x", "telnet://" + host,
        "ftp://" + host + "/x", "smtp://" + host, std::string("file:///etc/hostname")}) {
    SCOPED_TRACE(url);
    std::ostringstream out;
    {
      Reporter reporter(out);
      reporter.init(url);
      reporter.report(0, "m", "{}");
    }
    EXPECT_EQ(receiver.connections(), 0);
    EXPECT_EQ(out.str(), "{\"_progress\":{\"percent\":0,\"message\":\"m\",\"metadata\":{}}}\n");
  }
  // The same listener over http: one connection, so the count above could have seen one.
  std::ostringstream out;
  {
    Reporter reporter(out);
    reporter.init(receiver.url());
    reporter.report(0, "m", "{}");
  }
  EXPECT_EQ(receiver.connections(), 1);
  EXPECT_EQ(receiver.requests().size(), 1u);
}

}  // namespace
