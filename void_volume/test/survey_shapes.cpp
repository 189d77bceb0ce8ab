#include "survey_shapes.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace voidvol_test {

namespace {

double gauss(std::mt19937& gen) {
  const double u = 1.0 - gen() / 4294967296.0;
  return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::acos(-1.0) * gen() / 4294967296.0);
}

// One rectangle of a wall, as box_faces gives them.
Face rectangle(int axis, double level, const std::array<double, 3>& low,
               const std::array<double, 3>& high) {
  return Face{axis, level, low, high};
}

}  // namespace

std::vector<Point> rosette_flight(const std::array<double, 3>& low,
                                  const std::array<double, 3>& high, size_t frames,
                                  size_t frame_points, double half_angle,
                                  const std::array<double, 4>& brow, uint32_t seed) {
  std::mt19937 gen(seed);
  const double pi = std::acos(-1.0);
  const double reach = std::tan(half_angle * pi / 180.0);
  const double y = 0.5 * (low[1] + high[1]), z = 0.5 * (low[2] + high[2]);
  const double near = low[0] + 3.0, far = high[0] - 3.0;
  std::vector<Point> points;
  points.reserve(frames * frame_points);
  const size_t half = frames / 2;
  for (size_t f = 0; f < frames; ++f) {
    // Out toward low x in the first half of the flight, back in the second.
    const bool out = 2 * f < frames;
    const double leg = static_cast<double>(out ? f : f - half) / static_cast<double>(half);
    const double x = out ? far - (far - near) * leg : near + (far - near) * leg;
    const double heading = out ? -1.0 : 1.0;
    const std::array<double, 3> at{x, y + 0.5 * std::sin(0.7 * static_cast<double>(f)),
                                   z + 0.5 * std::cos(0.5 * static_cast<double>(f))};
    const double turn = 2.399963229728653 * static_cast<double>(f);
    for (size_t s = 0; s < frame_points; ++s) {
      const double psi = pi * static_cast<double>(s) / static_cast<double>(frame_points);
      const double r = reach * std::cos(7.0 * psi);
      const std::array<double, 3> d0{heading, r * std::cos(psi + turn), r * std::sin(psi + turn)};
      const double norm = std::sqrt(d0[0] * d0[0] + d0[1] * d0[1] + d0[2] * d0[2]);
      const std::array<double, 3> d{d0[0] / norm, d0[1] / norm, d0[2] / norm};
      double range = 1e300;
      int wall = 0;
      for (int k = 0; k < 3; ++k) {
        const double t = d[k] > 0   ? (high[k] - at[k]) / d[k]
                         : d[k] < 0 ? (low[k] - at[k]) / d[k]
                                    : 1e300;
        if (t < range) {
          range = t;
          wall = d[k] > 0 ? k + 3 : k;
        }
      }
      const double hy = at[1] + range * d[1], hz = at[2] + range * d[2];
      if (wall == 3 && hy > brow[0] && hy < brow[1] && hz > brow[2] && hz < brow[3]) continue;
      range += 0.02 * gauss(gen);
      points.push_back({static_cast<float>(at[0] + range * d[0]),
                        static_cast<float>(at[1] + range * d[1]),
                        static_cast<float>(at[2] + range * d[2])});
    }
  }
  return points;
}

std::vector<Point> ledge_pocket_points(double length, double width, double height, double x0,
                                       double x1, double slot, double ledge, size_t count,
                                       uint32_t seed) {
  std::vector<Face> faces = box_faces({0, 0, 0}, {length, width, height});
  // The side wall at y = width, less the slot: beside the pocket, and the ledge above the slot.
  faces.erase(faces.begin() + 5);
  faces.push_back(rectangle(1, width, {0, 0, 0}, {x0, 0, height}));
  faces.push_back(rectangle(1, width, {x1, 0, 0}, {length, 0, height}));
  faces.push_back(rectangle(1, width, {x0, 0, slot}, {x1, 0, height}));
  // The ledge's underside and the floor below it, which run on into the pocket.
  faces.push_back(rectangle(2, slot, {x0, width, 0}, {x1, width + ledge, 0}));
  faces.push_back(rectangle(2, 0.0, {x0, width, 0}, {x1, width + ledge, 0}));
  return face_points(faces, count, 0.05, seed);
}

}  // namespace voidvol_test
