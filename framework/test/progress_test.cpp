#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/progress.h"
#include "framework/reporter.h"
#include "testing/http_receiver.h"
#include "testing/process.h"

namespace {

using drone_task::ProgressMeter;
using drone_task::Reporter;
using Clock = ProgressMeter::Clock;
using std::chrono::milliseconds;

std::string line(int percent) {
  return "{\"_progress\":{\"percent\":" + std::to_string(percent) +
         ",\"message\":\"转换中\",\"metadata\":{}}}";
}

TEST(ProgressMeter, LinesFollowTheRules) {
  struct Step {
    int at_ms;        // time since the meter was made
    double fraction;  // what the library reports
  };
  struct Case {
    const char* what;
    int from;
    int to;
    std::vector<Step> steps;
    std::vector<int> percents;  // the lines expected
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {"nothing in the first second", 0, 50, {{10, 0.2}, {500, 0.6}, {999, 0.9}}, {}},
      {"a line once a second has passed", 0, 50, {{500, 0.2}, {1000, 0.3}}, {15}},
      {"at most one line a second",
       0,
       50,
       {{1000, 0.2}, {1500, 0.4}, {1999, 0.5}, {2000, 0.6}},
       {10, 30}},
      {"a percent not above the last is not repeated", 0, 50, {{1000, 0.2}, {2500, 0.2}}, {10}},
      {"never the bounds themselves", 50, 100, {{1000, 0.0}, {1200, 0.001}, {2000, 1.0}}, {}},
      {"above 1 counts as 1, below the upper bound", 0, 50, {{1000, 7.0}}, {}},
      {"the range is mapped", 50, 100, {{1000, 0.5}, {2000, 0.99}}, {75, 99}},
      {"not a number and negatives are ignored",
       0,
       50,
       {{1000, nan}, {1100, -0.5}, {1200, 0.4}},
       {20}},
      {"an empty range prints nothing", 50, 50, {{1000, 0.5}, {3000, 0.9}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::ostringstream out;
    Reporter reporter(out);
    const Clock::time_point start{};
    Clock::time_point now = start;
    ProgressMeter meter(reporter, c.from, c.to, "转换中", [&now] { return now; });
    const drone_task::ProgressCallback callback = meter.callback();
    for (const Step& s : c.steps) {
      now = start + milliseconds(s.at_ms);
      callback(s.fraction);
    }
    std::string expected;
    for (const int p : c.percents) expected += line(p) + "\n";
    EXPECT_EQ(out.str(), expected);
  }
}

// Waits up to 10 s for the receiver to hold `count` requests.
bool wait_for_requests(const drone_test::HttpReceiver& receiver, size_t count) {
  for (int i = 0; i < 1000 && receiver.requests().size() < count; ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  return receiver.requests().size() >= count;
}

std::string body(int percent, const std::string& message) {
  return "{\"percent\":" + std::to_string(percent) + ",\"message\":\"" + message +
         "\",\"metadata\":{}}";
}

TEST(IntermediateLines, DroppedWhileThePreviousIsInFlight) {
  drone_test::HttpReceiver receiver(drone_test::HttpReceiver::Mode::kSilent);
  std::ostringstream out;
  {
    Reporter reporter(out);
    reporter.init(receiver.url());
    reporter.report_intermediate(10, "a", "{}");
    // The endpoint holds the first post unanswered; the next two find it in flight.
    ASSERT_TRUE(wait_for_requests(receiver, 1));
    reporter.report_intermediate(20, "b", "{}");
    reporter.report_intermediate(30, "c", "{}");
  }
  // Every line was printed; only the first was posted.
  EXPECT_EQ(drone_test::split_lines(out.str()).size(), 3u);
  const auto requests = receiver.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, body(10, "a"));
}

TEST(IntermediateLines, NeverReachTheEndpointAfterALaterLine) {
  for (int round = 0; round < 20; ++round) {
    drone_test::HttpReceiver receiver;
    std::ostringstream out;
    {
      Reporter reporter(out);
      reporter.init(receiver.url());
      reporter.report(0, "start", "{}");
      reporter.report_intermediate(10, "mid", "{}");
      reporter.report(50, "half", "{}");
    }
    const auto requests = receiver.requests();
    // The intermediate line may have been abandoned; if it arrived, it arrived in its place.
    ASSERT_GE(requests.size(), 2u);
    ASSERT_LE(requests.size(), 3u);
    EXPECT_EQ(requests.front().body, body(0, "start"));
    EXPECT_EQ(requests.back().body, body(50, "half"));
    if (requests.size() == 3) {
      EXPECT_EQ(requests[1].body, body(10, "mid"));
    }
  }
}

}  // namespace
