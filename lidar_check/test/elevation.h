#pragma once

// Points placed by elevation, and the validator's elevation rule, for the lidar check tests.

#include <cmath>
#include <vector>

#include "testing/livox.h"

namespace scancheck_test {

// `n` points at elevation 0, 1 m to n m ahead of the sensor.
inline std::vector<drone_test::XyzPoint> level_points(int n) {
  std::vector<drone_test::XyzPoint> points;
  for (int i = 0; i < n; ++i) points.push_back({static_cast<float>(i + 1), 0.0f, 0.0f});
  return points;
}

// A point at `degrees` of elevation, 10 m from the sensor. Its exact elevation as the validator
// computes it may differ from `degrees` in the last digits.
inline drone_test::XyzPoint point_at_elevation(double degrees) {
  const double rad = degrees * M_PI / 180.0;
  return {static_cast<float>(10.0 * std::cos(rad)), 0.0f, static_cast<float>(10.0 * std::sin(rad))};
}

// The elevation of a point in degrees, by the validator's rule: horizontal distance in single
// precision, arc tangent in double precision, degrees as (180 * angle) / pi.
inline double reference_elevation(float x, float y, float z) {
  const float h = std::sqrt(x * x + y * y);
  return (180.0 * std::atan2(static_cast<double>(z), static_cast<double>(h))) / 3.141592653589793;
}

}  // namespace scancheck_test
