#include "void_shapes.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace voidvol_test {

namespace {

// Uniform in [0, 1) from the raw generator output, so the clouds do not depend on how the
// standard library implements its distributions.
double unit(std::mt19937& gen) { return gen() / 4294967296.0; }

// Standard normal by Box-Muller, for the same reason.
double gauss(std::mt19937& gen) {
  const double u = 1.0 - unit(gen);
  return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::acos(-1.0) * unit(gen));
}

double area(const Face& f) {
  double a = 1.0;
  for (int k = 0; k < 3; ++k) {
    if (k != f.axis) a *= f.high[k] - f.low[k];
  }
  return a;
}

Face face(int axis, double level, std::array<double, 3> low, std::array<double, 3> high) {
  return {axis, level, low, high};
}

// The return along direction `d` from `station` inside the box [low, high]: where the ray meets
// the nearest wall, off along the ray by normal noise of 1 cm + 0.1 % of the range.
Point ray_return(const std::array<double, 3>& low, const std::array<double, 3>& high,
                 const std::array<double, 3>& station, const std::array<double, 3>& d,
                 std::mt19937& gen, const std::array<double, 3>& offset) {
  double range = 1e300;
  for (int k = 0; k < 3; ++k) {
    if (d[k] > 0) range = std::min(range, (high[k] - station[k]) / d[k]);
    if (d[k] < 0) range = std::min(range, (low[k] - station[k]) / d[k]);
  }
  range += (0.01 + 0.001 * range) * gauss(gen);
  Point p{};
  for (int k = 0; k < 3; ++k) p[k] = static_cast<float>(station[k] + range * d[k] + offset[k]);
  return p;
}

}  // namespace

std::vector<Face> box_faces(const std::array<double, 3>& low, const std::array<double, 3>& high) {
  return {face(2, low[2], low, high),  face(2, high[2], low, high), face(0, low[0], low, high),
          face(0, high[0], low, high), face(1, low[1], low, high),  face(1, high[1], low, high)};
}

std::vector<Point> pillar_room_points(const std::array<double, 3>& low,
                                      const std::array<double, 3>& high,
                                      const std::vector<std::array<double, 4>>& pillars,
                                      size_t count, uint32_t seed) {
  std::vector<Face> faces = box_faces(low, high);
  for (const auto& [x0, y0, x1, y1] : pillars) {
    faces.push_back(face(0, x0, {0, y0, low[2]}, {0, y1, high[2]}));
    faces.push_back(face(0, x1, {0, y0, low[2]}, {0, y1, high[2]}));
    faces.push_back(face(1, y0, {x0, 0, low[2]}, {x1, 0, high[2]}));
    faces.push_back(face(1, y1, {x0, 0, low[2]}, {x1, 0, high[2]}));
  }
  std::vector<Point> kept;
  for (const Point& p : face_points(faces, count, 0.0, seed)) {
    const bool in_pillar = std::any_of(pillars.begin(), pillars.end(), [&p](const auto& q) {
      return p[0] > q[0] && p[0] < q[2] && p[1] > q[1] && p[1] < q[3];
    });
    if (!in_pillar) kept.push_back(p);
  }
  return kept;
}

std::vector<Face> l_stope_faces(double length, double width, double height) {
  const double l = length, w = width, h = height;
  return {
      // Floor and roof, each as the drive along x plus the rest of the drive along y.
      face(2, 0, {0, 0, 0}, {l, w, 0}),
      face(2, 0, {0, w, 0}, {w, l, 0}),
      face(2, h, {0, 0, 0}, {l, w, 0}),
      face(2, h, {0, w, 0}, {w, l, 0}),
      // The outer walls, then the two walls of the inner corner.
      face(1, 0, {0, 0, 0}, {l, 0, h}),
      face(0, l, {0, 0, 0}, {0, w, h}),
      face(0, 0, {0, 0, 0}, {0, l, h}),
      face(1, l, {0, 0, 0}, {w, 0, h}),
      face(1, w, {w, 0, 0}, {l, 0, h}),
      face(0, w, {0, w, 0}, {0, l, h}),
  };
}

std::vector<Point> face_points(const std::vector<Face>& faces, size_t count, double noise,
                               uint32_t seed, const std::array<double, 3>& offset) {
  std::mt19937 gen(seed);
  std::vector<double> cumulative;
  cumulative.reserve(faces.size());
  double total = 0.0;
  for (const Face& f : faces) cumulative.push_back(total += area(f));
  std::vector<Point> points;
  points.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const double pick = unit(gen) * total;
    size_t which = 0;
    while (which + 1 < faces.size() && cumulative[which] <= pick) ++which;
    const Face& f = faces[which];
    Point p{};
    for (int k = 0; k < 3; ++k) {
      const double local = k == f.axis ? f.level + noise * gauss(gen)
                                       : f.low[k] + (f.high[k] - f.low[k]) * unit(gen);
      p[k] = static_cast<float>(local + offset[k]);
    }
    points.push_back(p);
  }
  return points;
}

std::vector<Point> station_scan(const std::array<double, 3>& low, const std::array<double, 3>& high,
                                const std::array<double, 3>& station, size_t count, uint32_t seed,
                                const std::array<double, 3>& offset) {
  std::mt19937 gen(seed);
  const double two_pi = 2.0 * std::acos(-1.0);
  std::vector<Point> points;
  points.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const double z = 2.0 * unit(gen) - 1.0;
    const double phi = two_pi * unit(gen);
    const double r = std::sqrt(std::max(0.0, 1.0 - z * z));
    points.push_back(
        ray_return(low, high, station, {r * std::cos(phi), r * std::sin(phi), z}, gen, offset));
  }
  return points;
}

std::vector<Point> ring_scan(const std::array<double, 3>& low, const std::array<double, 3>& high,
                             const std::array<double, 3>& station, double elevation_step,
                             size_t ring_points, double blind_cone, uint32_t seed,
                             const std::array<double, 3>& offset) {
  std::mt19937 gen(seed);
  const double degree = std::acos(-1.0) / 180.0;
  const double two_pi = 360.0 * degree;
  std::vector<Point> points;
  const auto rings = static_cast<int>((180.0 - blind_cone) / elevation_step);
  points.reserve(static_cast<size_t>(std::max(rings, 0)) * ring_points);
  for (int ring = 0; ring < rings; ++ring) {
    const double elevation = -90.0 + (ring + 0.5) * elevation_step;
    const double z = std::sin(elevation * degree), r = std::cos(elevation * degree);
    const double start = unit(gen);
    for (size_t j = 0; j < ring_points; ++j) {
      const double phi =
          two_pi * (static_cast<double>(j) + start) / static_cast<double>(ring_points);
      points.push_back(
          ray_return(low, high, station, {r * std::cos(phi), r * std::sin(phi), z}, gen, offset));
    }
  }
  return points;
}

}  // namespace voidvol_test
