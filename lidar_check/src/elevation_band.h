#pragma once

#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lidar_validate {

// Radians to degrees as the elevation rule prescribes: multiply first, then divide by this pi.
inline double radToDeg(double angle) { return (180.0 * angle) / 3.141592653589793; }

// The elevation band test: a point that is not NaN lies outside the band when its elevation,
// radToDeg(atan2(z, h)) in double precision with h = sqrt(x * x + y * y) in single precision, is
// below the lower or above the upper bound (the bounds belong to the band).
//
// The elevation grows with z / h, so for a bound strictly between -90 and 90 degrees comparing z
// with h times the bound's tangent decides the test without the arc tangent. The comparison is
// made in single precision against the tangents of the bound plus and minus kMargin degrees. Its
// rounding (the tangent's and the product's, each a relative 2^-24; where the product is
// subnormal, an absolute 2^-149 against an h of at least 2^-75) moves the compared angle by less
// than 4e-6 degrees, and the rule's own arithmetic by some 1e-13 degrees, both far inside the
// margin: a point that the comparison puts beyond the margin lies on that side of the bound by the
// rule too. Products that overflow to infinity or are not a number (the origin, infinite
// coordinates) make the comparison fail or err only on the side the margin covers. Points within
// the margin of a bound, NaN points and the few such exceptions are decided by the rule itself, so
// the result is that of the rule for every point.
class ElevationBand {
 public:
  static constexpr double kMargin = 1e-4;  // degrees

  ElevationBand(double min_elevation, double max_elevation)
      : min_(min_elevation), max_(max_elevation) {
    const float inf = HUGE_VALF;
    // Upper bound: above for sure when z > h * above_max_, not above when z < h * below_max_.
    // A bound beyond every elevation the rule can give (-90 to 90 degrees, give or take the last
    // digits) decides every point alike; one near +-90 degrees or NaN leaves every point to the
    // rule.
    if (max_elevation >= kBeyondVertical) {
      above_max_ = inf;  // never above
      below_max_ = inf;
    } else if (max_elevation <= -kBeyondVertical) {
      above_max_ = -inf;  // always above
      below_max_ = -inf;
    } else if (std::fabs(max_elevation) <= kTangentLimit) {
      above_max_ = tangent(max_elevation + kMargin);
      below_max_ = tangent(max_elevation - kMargin);
    } else {
      above_max_ = inf;
      below_max_ = -inf;
    }
    // Lower bound: below for sure when z < h * below_min_, not below when z > h * above_min_.
    if (min_elevation <= -kBeyondVertical) {
      below_min_ = -inf;  // never below
      above_min_ = -inf;
    } else if (min_elevation >= kBeyondVertical) {
      below_min_ = inf;  // always below
      above_min_ = inf;
    } else if (std::fabs(min_elevation) <= kTangentLimit) {
      below_min_ = tangent(min_elevation - kMargin);
      above_min_ = tangent(min_elevation + kMargin);
    } else {
      below_min_ = -inf;
      above_min_ = inf;
    }
  }

  // Counts, among the points 0 to n - 1 of `points` (anything with x(i), y(i) and z(i) giving
  // floats), those with a NaN coordinate into `nan` and the others that lie outside the band into
  // `outside`, each exactly as the rule decides it. Four points at a time where SSE2 is there; a
  // NaN coordinate fails every comparison, so NaN points join those left to the rule.
  template <class Points>
  void count(const Points& points, uint32_t n, int32_t& nan, int32_t& outside) const {
    int32_t nan_count = 0;
    int32_t outside_count = 0;
    uint32_t i = 0;
#if defined(__SSE2__)
    const __m128 above_max = _mm_set1_ps(above_max_);
    const __m128 below_max = _mm_set1_ps(below_max_);
    const __m128 below_min = _mm_set1_ps(below_min_);
    const __m128 above_min = _mm_set1_ps(above_min_);
    __m128i outside_lanes = _mm_setzero_si128();  // minus the count of each lane
    for (; i + 4 <= n; i += 4) {
      const __m128 x = _mm_setr_ps(points.x(i), points.x(i + 1), points.x(i + 2), points.x(i + 3));
      const __m128 y = _mm_setr_ps(points.y(i), points.y(i + 1), points.y(i + 2), points.y(i + 3));
      const __m128 z = _mm_setr_ps(points.z(i), points.z(i + 1), points.z(i + 2), points.z(i + 3));
      const __m128 h = _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(x, x), _mm_mul_ps(y, y)));
      const __m128 out = _mm_or_ps(_mm_cmpgt_ps(z, _mm_mul_ps(h, above_max)),
                                   _mm_cmplt_ps(z, _mm_mul_ps(h, below_min)));
      const __m128 in = _mm_and_ps(_mm_cmplt_ps(z, _mm_mul_ps(h, below_max)),
                                   _mm_cmpgt_ps(z, _mm_mul_ps(h, above_min)));
      outside_lanes = _mm_add_epi32(outside_lanes, _mm_castps_si128(out));
      const int open = ~_mm_movemask_ps(_mm_or_ps(out, in)) & 0xF;
      if (open != 0) {
        for (uint32_t k = 0; k < 4; ++k) {
          if ((open >> k) & 1)
            by_rule(points.x(i + k), points.y(i + k), points.z(i + k), nan_count, outside_count);
        }
      }
    }
    alignas(16) int32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), outside_lanes);
    outside_count -= lanes[0] + lanes[1] + lanes[2] + lanes[3];
#endif
    for (; i < n; ++i) {
      const float x = points.x(i);
      const float y = points.y(i);
      const float z = points.z(i);
      const int decided = by_tangents(x, y, z);
      if (decided >= 0) {
        outside_count += decided;
      } else {
        by_rule(x, y, z, nan_count, outside_count);
      }
    }
    nan += nan_count;
    outside += outside_count;
  }

  // True when the point (x, y, z), none of them NaN, lies outside the band by the rule.
  bool outside(float x, float y, float z) const {
    const int decided = by_tangents(x, y, z);
    if (decided >= 0) return decided == 1;
    return outside_by_rule(z, std::sqrt(x * x + y * y));
  }

  // Whether the tangents alone decide the point (x, y, z), without the rule.
  bool decided_by_tangents(float x, float y, float z) const { return by_tangents(x, y, z) >= 0; }

  // The rule itself, for a point's z and its single-precision horizontal distance h.
  bool outside_by_rule(float z, float h) const {
    const double elevation = radToDeg(std::atan2(static_cast<double>(z), static_cast<double>(h)));
    return elevation < min_ || elevation > max_;
  }

 private:
  // Bounds beyond this are so close to the vertical that their tangent is left alone.
  static constexpr double kTangentLimit = 89.9;
  // No elevation the rule gives reaches this, whatever its rounding.
  static constexpr double kBeyondVertical = 90.001;

  static float tangent(double degrees) {
    return static_cast<float>(std::tan(degrees * (3.141592653589793 / 180.0)));
  }

  // 1: outside, 0: inside, -1: left to the rule. The same single-precision operations as the
  // four-point loop, so both decide alike.
  int by_tangents(float x, float y, float z) const {
    const float h = std::sqrt(x * x + y * y);
    if ((z > h * above_max_) | (z < h * below_min_)) return 1;
    if ((z < h * below_max_) & (z > h * above_min_)) return 0;
    return -1;
  }

  void by_rule(float x, float y, float z, int32_t& nan, int32_t& outside) const {
    if (std::isnan(x) || std::isnan(y) || std::isnan(z)) {
      ++nan;
    } else if (outside_by_rule(z, std::sqrt(x * x + y * y))) {
      ++outside;
    }
  }

  double min_;
  double max_;
  float above_max_;
  float below_max_;
  float below_min_;
  float above_min_;
};

}  // namespace lidar_validate
