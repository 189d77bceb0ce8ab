// The elevation band test decides most points from tangents of the bounds; these tests hold it
// to the prescribed arithmetic point by point where the two could part: within a few float steps
// of each bound and of each bound's margin, at the vertical, at the origin, at infinities.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "elevation.h"
#include "elevation_band.h"
#include "lidar_check/lidar_validator.h"
#include "testing/bags.h"
#include "testing/temp_dir.h"

namespace {

using drone_test::XyzPoint;
using lidar_validate::ElevationBand;
using scancheck_test::reference_elevation;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNanBound = std::numeric_limits<double>::quiet_NaN();
constexpr float kFloatInf = std::numeric_limits<float>::infinity();

struct Band {
  double min;
  double max;
};

// The default band and bands with bounds at 0, on either side of 0, near and beyond the
// vertical, reversed, NaN and infinite.
const Band kBands[] = {
    {-8.0, 60.0},      {0.0, 0.0},        {-89.9, 89.9},      {-45.0, 45.5},   {10.0, 60.0},
    {-30.0, -10.0},    {60.0, -8.0},      {-90.0, 90.0},      {-89.95, 89.97}, {-100.0, 100.0},
    {kNanBound, 60.0}, {-8.0, kNanBound}, {-kInf, kInf},      {1e-9, -1e-9},   {-1e-7, 1e-7},
    {89.9, 90.0005},   {-90.0005, 0.0},   {-0.001, 89.89999}, {100.0, -100.0},
};

bool outside_by_rule(float x, float y, float z, const Band& band) {
  const double e = reference_elevation(x, y, z);
  return e < band.min || e > band.max;
}

// Horizontal positions from a millimetre to 100 km, some of them off the axes.
std::vector<std::pair<float, float>> horizontal_positions() {
  std::vector<std::pair<float, float>> out;
  for (const float r : {1e-3f, 0.37f, 1.0f, 3.0f, 7.25f, 10.0f, 33.3f, 123.456f, 4096.0f, 1e5f}) {
    out.push_back({r, 0.0f});
    out.push_back({r * 0.6f, -r * 0.8f});
    out.push_back({-r * 0.28f, r * 0.96f});
  }
  return out;
}

// Points at each finite bound (and at the bound plus and minus the margin) for every
// horizontal position: z = h * tan(angle), then up to `steps` float steps above and below.
std::vector<XyzPoint> points_near(const Band& band, int steps) {
  std::vector<XyzPoint> out;
  for (const double bound : {band.min, band.max}) {
    if (!(std::fabs(bound) < 90.0)) continue;
    for (const double angle :
         {bound, bound + ElevationBand::kMargin, bound - ElevationBand::kMargin}) {
      for (const auto& xy : horizontal_positions()) {
        const float h = std::sqrt(xy.first * xy.first + xy.second * xy.second);
        const float z0 = static_cast<float>(h * std::tan(angle * 3.141592653589793 / 180.0));
        float up = z0;
        float down = z0;
        out.push_back({xy.first, xy.second, z0});
        for (int k = 0; k < steps; ++k) {
          up = std::nextafter(up, kFloatInf);
          down = std::nextafter(down, -kFloatInf);
          out.push_back({xy.first, xy.second, up});
          out.push_back({xy.first, xy.second, down});
        }
      }
    }
  }
  return out;
}

// Points the tangents cannot order: the origin, the vertical, infinities, the smallest and
// largest floats.
std::vector<XyzPoint> special_points() {
  const float tiny = std::numeric_limits<float>::denorm_min();
  const float big = std::numeric_limits<float>::max();
  return {{0.0f, 0.0f, 0.0f},
          {-0.0f, 0.0f, -0.0f},
          {0.0f, 0.0f, 1.0f},
          {0.0f, 0.0f, -1.0f},
          {0.0f, -0.0f, tiny},
          {tiny, 0.0f, 0.0f},
          {tiny, tiny, tiny},
          {kFloatInf, 0.0f, 1.0f},
          {1.0f, -kFloatInf, -1.0f},
          {1.0f, 0.0f, kFloatInf},
          {1.0f, 0.0f, -kFloatInf},
          {kFloatInf, 1.0f, kFloatInf},
          {-kFloatInf, 0.0f, -kFloatInf},
          {big, big, big},
          {big, 0.0f, -big},
          {1e-20f, 0.0f, 1e20f},
          {1e20f, 0.0f, 1e-20f},
          {3.0f, 4.0f, 0.0f}};
}

TEST(ElevationBand, NearEveryBoundTheTangentsDecideAsTheRule) {
  size_t decided = 0;
  size_t by_rule = 0;
  for (const Band& band : kBands) {
    SCOPED_TRACE("band " + std::to_string(band.min) + " to " + std::to_string(band.max));
    const ElevationBand test(band.min, band.max);
    std::vector<XyzPoint> points = points_near(band, 8);
    for (const XyzPoint& p : special_points()) points.push_back(p);
    int mismatches = 0;
    for (const XyzPoint& p : points) {
      const bool expected = outside_by_rule(p.x, p.y, p.z, band);
      if (test.outside(p.x, p.y, p.z) != expected && ++mismatches <= 5) {
        ADD_FAILURE() << "point (" << p.x << ", " << p.y << ", " << p.z << ") elevation "
                      << reference_elevation(p.x, p.y, p.z) << ": the rule says "
                      << (expected ? "outside" : "inside");
      }
      (test.decided_by_tangents(p.x, p.y, p.z) ? decided : by_rule) += 1;
    }
    EXPECT_EQ(mismatches, 0);
  }
  // Both ways of deciding were exercised near the bounds.
  EXPECT_GT(decided, 10000u);
  EXPECT_GT(by_rule, 100u);
}

// The points of a test as count() reads them.
struct Cloud {
  std::vector<XyzPoint> points;
  float x(uint32_t i) const { return points[i].x; }
  float y(uint32_t i) const { return points[i].y; }
  float z(uint32_t i) const { return points[i].z; }
};

// count() over the same points (four at a time, NaN points mixed in, and a tail of fewer than
// four) against the rule applied to each.
TEST(ElevationBand, CountAgreesWithTheRuleOverWholeFrames) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const Band& band : kBands) {
    SCOPED_TRACE("band " + std::to_string(band.min) + " to " + std::to_string(band.max));
    Cloud cloud{points_near(band, 6)};
    const std::vector<XyzPoint> special = special_points();
    cloud.points.insert(cloud.points.begin() + cloud.points.size() / 3, special.begin(),
                        special.end());
    for (size_t i = 0; i < cloud.points.size(); i += 37) {
      cloud.points.insert(cloud.points.begin() + i,
                          XyzPoint{i % 2 ? nan : 1.0f, 2.0f, i % 3 ? 0.5f : nan});
    }
    for (const size_t n : {cloud.points.size(), cloud.points.size() - 1, cloud.points.size() - 3,
                           size_t{3}, size_t{0}}) {
      int32_t expected_nan = 0;
      int32_t expected_outside = 0;
      for (size_t i = 0; i < n; ++i) {
        const XyzPoint& p = cloud.points[i];
        if (std::isnan(p.x) || std::isnan(p.y) || std::isnan(p.z)) {
          ++expected_nan;
        } else if (outside_by_rule(p.x, p.y, p.z, band)) {
          ++expected_outside;
        }
      }
      int32_t nan_count = 5;  // added to, not replaced
      int32_t outside = 7;
      ElevationBand(band.min, band.max).count(cloud, static_cast<uint32_t>(n), nan_count, outside);
      EXPECT_EQ(nan_count, 5 + expected_nan) << n << " points";
      EXPECT_EQ(outside, 7 + expected_outside) << n << " points";
    }
  }
}

// Points spread over every direction: nearly all are decided by the tangents, as the rule
// decides them.
TEST(ElevationBand, AwayFromTheBoundsTheTangentsDecideAlone) {
  std::mt19937 rng(777);
  std::uniform_real_distribution<float> coord(-80.0f, 80.0f);
  for (const Band& band : kBands) {
    SCOPED_TRACE("band " + std::to_string(band.min) + " to " + std::to_string(band.max));
    const ElevationBand test(band.min, band.max);
    int by_rule = 0;
    for (int i = 0; i < 20000; ++i) {
      const float x = coord(rng);
      const float y = coord(rng);
      const float z = coord(rng);
      ASSERT_EQ(test.outside(x, y, z), outside_by_rule(x, y, z, band)) << x << " " << y << " " << z;
      if (!test.decided_by_tangents(x, y, z)) ++by_rule;
    }
    if (std::fabs(band.min) <= 89.9 && std::fabs(band.max) <= 89.9) {
      EXPECT_LE(by_rule, 2) << "only points within the margin need the rule";
    }
  }
}

// Whole frames through the validator: the invalid count of every frame is that of the rule, for
// frames full of points near the bounds of the default band and of others.
TEST(ElevationBand, ValidatorCountsWhatTheRuleCounts) {
  drone_test::TempDir dir;
  for (const Band& band : {Band{-8.0, 60.0}, Band{-30.0, -10.0}, Band{0.0, 0.0}}) {
    SCOPED_TRACE("band " + std::to_string(band.min) + " to " + std::to_string(band.max));
    std::vector<XyzPoint> points = points_near(band, 4);
    for (const XyzPoint& p : special_points()) points.push_back(p);
    const std::string path = dir.file("near.bag");
    std::vector<int> expected;
    {
      drone_test::BagBuilder builder(path);
      for (size_t first = 0; first < points.size(); first += 97) {
        const std::vector<XyzPoint> frame(points.begin() + first,
                                          points.begin() + std::min(points.size(), first + 97));
        int outside = 0;
        for (const XyzPoint& p : frame) outside += outside_by_rule(p.x, p.y, p.z, band) ? 1 : 0;
        expected.push_back(outside);
        builder.frame(ros::Time(100 + static_cast<uint32_t>(expected.size()), 0), frame);
      }
    }
    // Frames of fewer than a million points are all anomalous, so all are listed.
    const lidar_validate::ValidationResult r = lidar_validate::LidarValidator::validate(
        path, drone_test::BagBuilder::kLivoxTopic, 1000.0, 0.0, 1000000, band.min, band.max);
    ASSERT_TRUE(r.success) << r.error;
    int frames_outside = 0;
    for (const int n : expected) frames_outside += n > 0 ? 1 : 0;
    EXPECT_EQ(r.invalid_angle_frames, frames_outside);
    ASSERT_LE(expected.size(), 20u) << "every frame is listed";
    ASSERT_EQ(r.anomalies.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(r.anomalies[i].invalid_angle, expected[i]) << "frame " << i + 1;
    }
  }
}

}  // namespace
