#pragma once

// A check shared by the lidar check's tests of recordings that hold the same frames.

#include <gtest/gtest.h>

#include <cstddef>

#include "lidar_check/lidar_validator.h"

// Every figure of two results of the same frames alike, the path aside: `got` from a ROS 2
// recording against `want` from its ROS 1 bag, or from a compressed bag against a plain one.
inline void expect_same_result(const lidar_validate::ValidationResult& got,
                               const lidar_validate::ValidationResult& want) {
  ASSERT_TRUE(got.success) << got.error;
  ASSERT_TRUE(want.success) << want.error;
  EXPECT_EQ(got.total_frames, want.total_frames);
  EXPECT_EQ(got.anomaly_frames, want.anomaly_frames);
  EXPECT_EQ(got.low_point_frames, want.low_point_frames);
  EXPECT_EQ(got.high_nan_frames, want.high_nan_frames);
  EXPECT_EQ(got.invalid_angle_frames, want.invalid_angle_frames);
  EXPECT_EQ(got.avg_points, want.avg_points);
  EXPECT_EQ(got.avg_interval_ms, want.avg_interval_ms);
  EXPECT_EQ(got.min_interval_ms, want.min_interval_ms);
  EXPECT_EQ(got.max_interval_ms, want.max_interval_ms);
  ASSERT_EQ(got.anomalies.size(), want.anomalies.size());
  for (size_t i = 0; i < want.anomalies.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& a = got.anomalies[i];
    const auto& b = want.anomalies[i];
    EXPECT_EQ(a.frame, b.frame);
    EXPECT_EQ(a.time, b.time);
    EXPECT_EQ(a.points, b.points);
    EXPECT_EQ(a.nan, b.nan);
    EXPECT_EQ(a.invalid_angle, b.invalid_angle);
    EXPECT_EQ(a.interval_ms, b.interval_ms);
    EXPECT_EQ(a.interval_anomaly, b.interval_anomaly);
  }
}
