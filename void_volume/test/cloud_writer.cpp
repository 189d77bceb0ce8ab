#include "cloud_writer.h"

#include <cmath>
#include <fstream>
#include <iomanip>
#include <random>
#include <stdexcept>

namespace voidvol_test {

namespace {

// Uniform in [0, 1) from the raw generator output, so the clouds do not depend on how the
// standard library implements its distributions.
double unit(std::mt19937& gen) { return gen() / 4294967296.0; }

}  // namespace

std::vector<Point> sphere_points(const Point& centre, float radius, size_t count, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<Point> points;
  points.reserve(count);
  const double pi = std::acos(-1.0);
  for (size_t i = 0; i < count; ++i) {
    // Archimedes: z uniform in [-1, 1] and a uniform angle give a uniform point on the sphere.
    const double z = 2.0 * unit(gen) - 1.0;
    const double phi = 2.0 * pi * unit(gen);
    const double r = std::sqrt(1.0 - z * z);
    points.push_back({static_cast<float>(centre[0] + radius * r * std::cos(phi)),
                      static_cast<float>(centre[1] + radius * r * std::sin(phi)),
                      static_cast<float>(centre[2] + radius * z)});
  }
  return points;
}

std::vector<Point> box_points(const Point& low, const Point& high, size_t count, uint32_t seed) {
  std::mt19937 gen(seed);
  const double size[3] = {high[0] - low[0], high[1] - low[1], high[2] - low[2]};
  // Face pair k is perpendicular to axis k; its area share decides how often it is drawn.
  const double area[3] = {size[1] * size[2], size[0] * size[2], size[0] * size[1]};
  const double total = area[0] + area[1] + area[2];
  std::vector<Point> points;
  points.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const double pick = unit(gen) * total;
    const int axis = pick < area[0] ? 0 : (pick < area[0] + area[1] ? 1 : 2);
    const bool upper = unit(gen) < 0.5;
    Point p{};
    for (int k = 0; k < 3; ++k) {
      p[k] =
          static_cast<float>(k == axis ? (upper ? high[k] : low[k]) : low[k] + size[k] * unit(gen));
    }
    points.push_back(p);
  }
  return points;
}

void write_xyz_pcd(const std::string& path, const std::vector<Point>& points, const Point& origin) {
  std::ofstream out(path);
  out << "# .PCD v0.7 - Point Cloud Data file format\n"
      << "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n"
      << "WIDTH " << points.size() << "\nHEIGHT 1\n"
      << "VIEWPOINT " << origin[0] << ' ' << origin[1] << ' ' << origin[2] << " 1 0 0 0\n"
      << "POINTS " << points.size() << "\nDATA ascii\n";
  out << std::setprecision(9);
  for (const Point& p : points) out << p[0] << ' ' << p[1] << ' ' << p[2] << '\n';
  if (!out) throw std::runtime_error("cannot write " + path);
}

void write_xyz_pcd_float64(const std::string& path, const std::vector<Point>& points,
                           const std::array<double, 3>& shift, const Point& origin) {
  std::ofstream out(path);
  out << std::setprecision(17);
  out << "# .PCD v0.7 - Point Cloud Data file format\n"
      << "VERSION 0.7\nFIELDS x y z\nSIZE 8 8 8\nTYPE F F F\nCOUNT 1 1 1\n"
      << "WIDTH " << points.size() << "\nHEIGHT 1\n"
      << "VIEWPOINT " << origin[0] + shift[0] << ' ' << origin[1] + shift[1] << ' '
      << origin[2] + shift[2] << " 1 0 0 0\n"
      << "POINTS " << points.size() << "\nDATA ascii\n";
  for (const Point& p : points) {
    out << p[0] + shift[0] << ' ' << p[1] + shift[1] << ' ' << p[2] + shift[2] << '\n';
  }
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace voidvol_test
