#include "framework/progress.h"

#include <cmath>
#include <utility>

namespace drone_task {

ProgressMeter::ProgressMeter(Reporter& reporter, int from_percent, int to_percent,
                             std::string message)
    : ProgressMeter(reporter, from_percent, to_percent, std::move(message), &Clock::now) {}

ProgressMeter::ProgressMeter(Reporter& reporter, int from_percent, int to_percent,
                             std::string message, std::function<Clock::time_point()> now)
    : reporter_(reporter),
      from_percent_(from_percent),
      to_percent_(to_percent),
      message_(std::move(message)),
      now_(std::move(now)),
      start_(now_()),
      last_line_(start_),
      last_percent_(from_percent) {}

void ProgressMeter::update(double fraction) {
  // NaN fails this test too.
  if (!(fraction > 0.0)) return;
  if (fraction > 1.0) fraction = 1.0;
  const double span = static_cast<double>(to_percent_) - from_percent_;
  const int percent = from_percent_ + static_cast<int>(std::floor(fraction * span));
  // The cheap test first: most calls move no percent.
  if (percent <= last_percent_ || percent >= to_percent_) return;
  const Clock::time_point now = now_();
  if (now - last_line_ < std::chrono::seconds(1)) return;
  reporter_.report_intermediate(percent, message_, "{}");
  last_percent_ = percent;
  last_line_ = now;
}

ProgressCallback ProgressMeter::callback() {
  return [this](double fraction) { update(fraction); };
}

}  // namespace drone_task
