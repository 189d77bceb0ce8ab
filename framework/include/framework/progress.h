#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "framework/reporter.h"

namespace drone_task {

// What an analysis library calls with the share of its work done so far (0 to 1). Cheap to
// call often (per message or per frame); libraries take it as a plain std::function so they
// do not depend on the framework.
using ProgressCallback = std::function<void(double fraction)>;

// Turns a step's fractions into intermediate progress lines between from_percent and
// to_percent: nothing during the first second of the step, then at most one line a second.
// Intermediate lines are posted over HTTP by the reporter's background sender, which drops a
// line while the previous one is still in flight; they never delay the caller.
//
// A line is sent only for a percent strictly between the two bounds and above the last one
// sent, so a step that ends within a second prints nothing of its own and the task's own lines
// at the bounds are never repeated. Fractions that are not numbers, and those at or below 0,
// are ignored; those above 1 count as 1. The step starts when the meter is made. Use from the
// task's thread only; the meter and its reporter must outlive every callback() handed out.
class ProgressMeter {
 public:
  using Clock = std::chrono::steady_clock;

  ProgressMeter(Reporter& reporter, int from_percent, int to_percent, std::string message);
  // The same, with the time read from `now` instead of the steady clock.
  ProgressMeter(Reporter& reporter, int from_percent, int to_percent, std::string message,
                std::function<Clock::time_point()> now);

  void update(double fraction);
  ProgressCallback callback();  // a callable that forwards to update()

 private:
  Reporter& reporter_;
  int from_percent_;
  int to_percent_;
  std::string message_;
  std::function<Clock::time_point()> now_;
  Clock::time_point start_;
  Clock::time_point last_line_;  // when the last line was sent; start_ before the first
  int last_percent_;             // the last percent sent; from_percent before the first
};

}  // namespace drone_task
