// Accuracy of the void volume analysis on generated survey clouds of known volume.
//
//   voidvol_bench [--depth N] [--points N] [--big N] [--dir DIR] [--only NAME] [--mesh_only]
//
// Writes each case as a PCD file in DIR (default: a new directory under /tmp, removed at the
// end), runs VolumeAnalyzer::analyze on it in a child process and prints, per case, the true
// volume, the measured one, the error in percent, the number of pieces, the time of the analysis
// and the child's peak memory. Clean cases (a void scanned from inside, every wall visible) come
// first, then the clouds as survey teams store them: moved to site coordinates with the sensor
// origin left at 0, several voids in one file, a void not visible whole from any one point.
// Stray returns at distances from 1 m to 20 km and open single-view scans follow; each row
// also gives the points left out as strays and the share of the surface no point supports.
// Ends with the time of the neighbour search, the normals and their orientation beside the
// point-cloud library's normal estimation, which they replace (and whose bits the normals
// must equal), and the cost of the stray search and the unscanned measure beside it; then the
// clean-up of the big stope's reconstructed mesh into a closed solid and its writing in each
// mesh format, beside the reconstruction (--mesh_only: that alone).
#include <pcl/PolygonMesh.h>
#include <pcl/common/io.h>
#include <pcl/conversions.h>
#include <pcl/features/normal_3d_omp.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <pcl/search/kdtree.h>
#include <pcl/surface/poisson.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "bench/bench_main.h"
#include "bench/measure.h"
#include "cloud_checks.h"
#include "cloud_files.h"
#include "cloud_writer.h"
#include "framework/standard_streams.h"
#include "mesh_files.h"
#include "mesh_solid.h"
#include "neighbour_search.h"
#include "normal_orientation.h"
#include "result_checks.h"
#include "safe_output/output_file.h"
#include "survey_shapes.h"
#include "void_shapes.h"
#include "void_volume/volume_analyzer.h"

namespace {

using voidvol_test::box_faces;
using voidvol_test::face_points;
using voidvol_test::l_stope_faces;
using voidvol_test::Point;
using voidvol_test::sphere_points;

const double kPi = std::acos(-1.0);

struct Cloud {
  std::vector<Point> points;
  Point viewpoint;
  // When set, the points (and viewpoint) plus `shift`, written as 8-byte floats.
  bool float64 = false;
  std::array<double, 3> shift{};
};

struct Case {
  std::string name;
  double truth;
  std::function<Cloud()> make;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The 40 x 8 x 12 m stope, walls rough by 5 cm, shifted by `offset`.
std::vector<Point> stope(size_t count, uint32_t seed, const std::array<double, 3>& offset = {}) {
  return face_points(box_faces({0, 0, 0}, {40, 8, 12}), count, 0.05, seed, offset);
}

void append(std::vector<Point>& to, const std::vector<Point>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

// Distance from `p` to the axis-aligned box [low, high]; 0 inside it.
double box_distance(const Point& p, const std::array<double, 3>& low,
                    const std::array<double, 3>& high) {
  double sum = 0.0;
  for (int k = 0; k < 3; ++k) {
    const double d = std::max({low[k] - p[k], 0.0, p[k] - high[k]});
    sum += d * d;
  }
  return std::sqrt(sum);
}

// `count` stray returns spread uniformly through the space between `near` and `far` from the
// box [low, high] (fixed seed).
std::vector<Point> strays(size_t count, double near, double far, const std::array<double, 3>& low,
                          const std::array<double, 3>& high, uint32_t seed) {
  std::mt19937 gen(seed);
  auto unit = [&gen] { return gen() / 4294967296.0; };
  std::vector<Point> out;
  while (out.size() < count) {
    Point p{};
    for (int k = 0; k < 3; ++k) {
      p[k] = static_cast<float>(low[k] - far + (high[k] - low[k] + 2 * far) * unit());
    }
    const double d = box_distance(p, low, high);
    if (d >= near && d <= far) out.push_back(p);
  }
  return out;
}

// The stope as one scan of a fixed-mount lidar at `at` sees it: the points of the walls within
// `half_angle` degrees of the +x direction.
std::vector<Point> single_view(const std::vector<Point>& points, const Point& at,
                               double half_angle) {
  const double limit = std::cos(half_angle * kPi / 180.0);
  std::vector<Point> seen;
  for (const Point& p : points) {
    const double dx = p[0] - at[0];
    const double dy = p[1] - at[1];
    const double dz = p[2] - at[2];
    if (dx / std::sqrt(dx * dx + dy * dy + dz * dz) >= limit) seen.push_back(p);
  }
  return seen;
}

// Every point `copies` times: the first as given, each other copy moved `offset` from it
// (0: a float step) along a diagonal of its own.
std::vector<Point> with_copies(const std::vector<Point>& points, int copies, float offset) {
  std::vector<Point> out;
  out.reserve(points.size() * static_cast<size_t>(copies));
  for (const Point& p : points) {
    for (int copy = 0; copy < copies; ++copy) {
      Point q = p;
      for (int k = 0; k < 3 && copy > 0; ++k) {
        const float sign = ((copy >> k) & 1) != 0 ? 1.0f : -1.0f;
        q[k] = offset > 0 ? q[k] + sign * offset / std::sqrt(3.0f)
                          : std::nextafter(q[k], sign * HUGE_VALF);
      }
      out.push_back(q);
    }
  }
  return out;
}

// `count` points on the wall of a drill hole 0.3 m wide going `length` up from (x, y, z).
std::vector<Point> drill_hole(double x, double y, double z, double length, int count,
                              uint32_t seed) {
  std::mt19937 gen(seed);
  auto unit = [&gen] { return gen() / 4294967296.0; };
  std::vector<Point> out;
  for (int i = 0; i < count; ++i) {
    const double a = 2 * kPi * unit();
    const double up = length * unit();
    out.push_back({static_cast<float>(x + 0.15 * std::cos(a)),
                   static_cast<float>(y + 0.15 * std::sin(a)), static_cast<float>(z + up)});
  }
  return out;
}

std::vector<Case> cases(size_t n, size_t big) {
  const double stope_volume = 40.0 * 8.0 * 12.0;
  const double ball = 4.0 / 3.0 * kPi * 125.0;
  std::vector<Case> all;
  all.push_back({"sphere r = 5", ball, [n] {
                   return Cloud{sphere_points({0, 0, 0}, 5.0f, n, 1), {0, 0, 0}};
                 }});
  all.push_back(
      {"box 20 x 10 x 6", 1200.0, [n] {
         return Cloud{face_points(box_faces({0, 0, 0}, {20, 10, 6}), n, 0.0, 2), {10, 5, 3}};
       }});
  all.push_back({"stope, 5 cm rough", stope_volume, [n] {
                   return Cloud{stope(n, 3), {20, 4, 6}};
                 }});
  all.push_back({"stope, 3 x 3 m entry hole", stope_volume, [n] {
                   std::vector<Point> kept;
                   for (const Point& p : stope(n, 4)) {
                     const bool hole = p[0] > 39.5f && p[1] > 2.5f && p[1] < 5.5f && p[2] < 3.0f;
                     if (!hole) kept.push_back(p);
                   }
                   return Cloud{kept, {20, 4, 6}};
                 }});
  all.push_back({"stope, floor not scanned", stope_volume, [n] {
                   std::vector<voidvol_test::Face> faces = box_faces({0, 0, 0}, {40, 8, 12});
                   faces.erase(faces.begin());
                   return Cloud{face_points(faces, n, 0.05, 5), {20, 4, 6}};
                 }});
  all.push_back({"stope, density 10:1", stope_volume, [n] {
                   std::vector<Point> kept;
                   size_t i = 0;
                   for (const Point& p : stope(2 * n, 6)) {
                     if (p[0] >= 20.0f || i++ % 10 == 0) kept.push_back(p);
                   }
                   return Cloud{kept, {20, 4, 6}};
                 }});
  all.push_back({"stope, 1 % outliers", stope_volume, [n] {
                   std::vector<Point> points = stope(n, 7);
                   std::mt19937 gen(8);
                   for (size_t i = 0; i < n / 100; ++i) {
                     points.push_back({static_cast<float>(gen() / 4294967296.0 * 40.0),
                                       static_cast<float>(gen() / 4294967296.0 * 8.0),
                                       static_cast<float>(gen() / 4294967296.0 * 12.0)});
                   }
                   return Cloud{points, {20, 4, 6}};
                 }});
  // Stray returns (dust, drops, returns through the brow or from far walls): a share of the
  // points, at a distance from the walls.
  struct StrayCase {
    const char* name;
    size_t count;  // 0: 1 % of the cloud
    double near;
    double far;
  };
  for (const StrayCase& sc : {StrayCase{"stope + 1 % strays 1-2 m off", 0, 1, 2},
                              StrayCase{"stope + 1 % strays 5-10 m off", 0, 5, 10},
                              StrayCase{"stope + 100 strays 25-60 m off", 100, 25, 60},
                              StrayCase{"stope + 5 strays 300-2000 m off", 5, 300, 2000},
                              StrayCase{"stope + 1 % strays 10-20 km off", 0, 10000, 20000}}) {
    all.push_back({sc.name, stope_volume, [n, sc] {
                     std::vector<Point> points = stope(n, 18);
                     append(points, strays(sc.count == 0 ? n / 100 : sc.count, sc.near, sc.far,
                                           {0, 0, 0}, {40, 8, 12}, 19));
                     return Cloud{points, {20, 4, 6}};
                   }});
  }
  all.push_back({"sphere r = 5 + 3 strays 50 m off", ball, [n] {
                   std::vector<Point> points = sphere_points({0, 0, 0}, 5.0f, n, 1);
                   append(points, {{50, 0, 0}, {0, -55, 0}, {0, 0, 55}});
                   return Cloud{points, {0, 0, 0}};
                 }});
  all.push_back({"sphere r = 5 + 1 stray 20 m off", ball, [n] {
                   std::vector<Point> points = sphere_points({0, 0, 0}, 5.0f, n, 1);
                   points.push_back({25, 0, 0});
                   return Cloud{points, {0, 0, 0}};
                 }});
  // Open scans: one scan from one end of the stope, looking along it.
  all.push_back({"stope, single view 120 degrees from one end", stope_volume, [n] {
                   return Cloud{single_view(stope(2 * n, 20), {2, 4, 6}, 60), {2, 4, 6}};
                 }});
  all.push_back({"stope, single view 180 degrees from one end", stope_volume, [n] {
                   return Cloud{single_view(stope(n, 21), {0.5f, 4, 6}, 90), {0.5f, 4, 6}};
                 }});
  all.push_back({"stope at (1000, 2000, 300), VIEWPOINT 0", stope_volume, [n] {
                   return Cloud{stope(n, 9, {1000, 2000, 300}), {0, 0, 0}};
                 }});
  all.push_back({"stope at (512345, 4012345, 120), VIEWPOINT 0", stope_volume, [n] {
                   return Cloud{stope(n, 10, {512345, 4012345, 120}), {0, 0, 0}};
                 }});
  all.push_back({"stope at (1000, 2000, 300), VIEWPOINT centre", stope_volume, [n] {
                   return Cloud{stope(n, 9, {1000, 2000, 300}), {1020, 2004, 306}};
                 }});
  all.push_back({"stope at (512345, 4012345, 120), VIEWPOINT centre", stope_volume, [n] {
                   return Cloud{stope(n, 10, {512345, 4012345, 120}), {512365, 4012349, 126}};
                 }});
  all.push_back({"two spheres r = 5 at x = -15, +15, VIEWPOINT between", 2 * ball, [n] {
                   std::vector<Point> points = sphere_points({-15, 0, 0}, 5.0f, n / 2, 11);
                   append(points, sphere_points({15, 0, 0}, 5.0f, n / 2, 12));
                   return Cloud{points, {0, 0, 0}};
                 }});
  all.push_back({"two spheres r = 5 at x = 0, 30, VIEWPOINT in the first", 2 * ball, [n] {
                   std::vector<Point> points = sphere_points({0, 0, 0}, 5.0f, n / 2, 13);
                   append(points, sphere_points({30, 0, 0}, 5.0f, n / 2, 14));
                   return Cloud{points, {0, 0, 0}};
                 }});
  all.push_back({"L-shaped stope, two 40 m drives", (2 * 40.0 - 8.0) * 8.0 * 12.0, [n] {
                   return Cloud{face_points(l_stope_faces(40, 8, 12), n, 0.05, 15), {20, 4, 6}};
                 }});
  // Clouds as cavity surveys store them: stations of a survey lidar (range noise 1 cm + 0.1 %),
  // copies of the same points, an opening in a wall.
  const std::array<double, 3> low{0, 0, 0}, high{40, 8, 12};
  all.push_back({"stope, one station 2 m inside the end wall", stope_volume, [n, low, high] {
                   return Cloud{voidvol_test::station_scan(low, high, {2, 4, 6}, n, 30), {2, 4, 6}};
                 }});
  all.push_back(
      {"stope, one station 2 m inside the end wall, 4x denser", stope_volume, [n, low, high] {
         return Cloud{voidvol_test::station_scan(low, high, {2, 4, 6}, 4 * n, 31), {2, 4, 6}};
       }});
  all.push_back(
      {"stope, one station in the middle", stope_volume, [n, low, high] {
         return Cloud{voidvol_test::station_scan(low, high, {20, 4, 6}, n, 32), {20, 4, 6}};
       }});
  all.push_back(
      {"stope, two stations merged", stope_volume, [n, low, high] {
         std::vector<Point> points = voidvol_test::station_scan(low, high, {10, 4, 6}, n / 2, 33);
         append(points, voidvol_test::station_scan(low, high, {30, 4, 6}, n / 2, 34));
         return Cloud{points, {20, 4, 6}};
       }});
  all.push_back({"stope, every point four times", stope_volume, [n] {
                   const std::vector<Point> once = stope(n, 3);
                   std::vector<Point> points;
                   for (int copy = 0; copy < 4; ++copy) append(points, once);
                   return Cloud{points, {20, 4, 6}};
                 }});
  all.push_back({"stope, six cumulative keyframes merged", stope_volume, [n] {
                   const std::vector<Point> once = stope(n, 3);
                   std::vector<Point> points;
                   for (size_t k = 1; k <= 6; ++k) {
                     points.insert(points.end(), once.begin(),
                                   once.begin() + static_cast<std::ptrdiff_t>(k * n / 6));
                   }
                   return Cloud{points, {20, 4, 6}};
                 }});
  all.push_back({"stope, open brow 6 x 7.5 m (2.5 % of the walls)", stope_volume, [n] {
                   std::vector<Point> kept;
                   for (const Point& p : stope(n, 35)) {
                     const bool brow = p[0] > 39.5f && p[1] > 1.0f && p[1] < 7.0f && p[2] > 4.5f;
                     if (!brow) kept.push_back(p);
                   }
                   return Cloud{kept, {20, 4, 6}};
                 }});
  // Two drill holes of 0.3 m leaving the roof, 3 m long, scanned along with the walls.
  all.push_back({"stope, two 0.3 m drill holes 3 m into the roof", stope_volume, [n] {
                   std::vector<Point> points = stope(n, 40);
                   std::mt19937 gen(41);
                   auto unit = [&gen] { return gen() / 4294967296.0; };
                   for (const double x : {12.0, 28.0}) {
                     for (int i = 0; i < 120; ++i) {
                       const double a = 2 * kPi * unit();
                       const double up = 3.0 * unit();
                       points.push_back({static_cast<float>(x + 0.15 * std::cos(a)),
                                         static_cast<float>(4 + 0.15 * std::sin(a)),
                                         static_cast<float>(12 + up)});
                     }
                   }
                   return Cloud{points, {20, 4, 6}};
                 }});
  // A station whose scanner cannot see within 25 degrees of straight up.
  all.push_back({"stope, two stations with a blind cone up", stope_volume, [n, low, high] {
                   std::vector<Point> points;
                   for (const double x : {10.0, 30.0}) {
                     for (const Point& p : voidvol_test::station_scan(low, high, {x, 4, 6}, n / 2,
                                                                      x > 20 ? 43 : 42)) {
                       const double dx = p[0] - x, dy = p[1] - 4, dz = p[2] - 6;
                       if (dz / std::sqrt(dx * dx + dy * dy + dz * dz) < std::cos(25 * kPi / 180)) {
                         points.push_back(p);
                       }
                     }
                   }
                   return Cloud{points, {20, 4, 6}};
                 }});
  // Stations that sweep rings of constant elevation, blind within 10 degrees of straight up:
  // over the station the rings are small circles, dense along a ring and far apart between them.
  for (const auto& [step, ring, name] :
       {std::tuple<double, size_t, const char*>{
            2.0, 720, "stope, two ring-scanning stations (2 deg x 720), blind cone 10 degrees up"},
        {1.0, 360, "stope, two ring-scanning stations (1 deg x 360), blind cone 10 degrees up"}}) {
    all.push_back(
        {name, stope_volume, [low, high, step = step, ring = ring] {
           std::vector<Point> points =
               voidvol_test::ring_scan(low, high, {10, 4, 6}, step, ring, 10, 44);
           append(points, voidvol_test::ring_scan(low, high, {30, 4, 6}, step, ring, 10, 45));
           return Cloud{points, {20, 4, 6}};
         }});
  }
  // Clutter near the scanner inside the void: returns from its boom and from a dust cloud.
  all.push_back(
      {"stope, two stations + 60 boom returns + 300 dust", stope_volume, [n, low, high] {
         std::vector<Point> points = voidvol_test::station_scan(low, high, {10, 4, 6}, n / 2, 33);
         append(points, voidvol_test::station_scan(low, high, {30, 4, 6}, n / 2, 34));
         std::mt19937 gen(36);
         auto unit = [&gen] { return gen() / 4294967296.0; };
         for (int i = 0; i < 60; ++i) {  // a rod 0.6 m long beside the first station
           points.push_back({static_cast<float>(10.2 + 0.6 * unit()),
                             static_cast<float>(4.0 + 0.02 * unit()),
                             static_cast<float>(6.0 + 0.02 * unit())});
         }
         append(points, voidvol_test::sphere_points({25, 3, 4}, 0.6f, 300, 37));
         return Cloud{points, {20, 4, 6}};
       }});
  all.push_back(
      {"sphere r = 5 and a small void r = 1.5 beside it", ball + 4.0 / 3.0 * kPi * 3.375, [n] {
         std::vector<Point> points = sphere_points({0, 0, 0}, 5.0f, n, 38);
         append(points, sphere_points({8, 0, 0}, 1.5f, n / 10, 39));
         return Cloud{points, {0, 0, 0}};
       }});
  // Site coordinates at y = 4.3 million m: 8-byte floats, and 4-byte ones (a step of 0.5 m).
  all.push_back({"stope at (512345, 4312345, 120) in float64", stope_volume, [n] {
                   return Cloud{stope(n, 44), {20, 4, 6}, true, {512345.25, 4312345.5, 120.125}};
                 }});
  all.push_back(
      {"stope at (512345, 4312345, 120) in float32", stope_volume, [n] {
         return Cloud{stope(n, 44, {512345.25, 4312345.5, 120.125}), {512365, 4312349, 126}};
       }});
  // Surveys as drones and stations sample: along petals and rings, and stopes with parts no one
  // saw.
  all.push_back(
      {"stope, rosette drone flight, brow open (1.3 % unseen)", stope_volume, [low, high] {
         return Cloud{
             voidvol_test::rosette_flight(low, high, 100, 5000, 35.0, {2.0, 6.0, 0.0, 5.5}, 50),
             {20, 4, 6}};
       }});
  all.push_back(
      {"stope, ring station at brow height, far walls at grazing incidence", stope_volume,
       [low, high] {
         return Cloud{voidvol_test::ring_scan(low, high, {38, 4, 4}, 0.5, 800, 10, 51), {38, 4, 4}};
       }});
  // The pocket: 16 m along the wall, 4 m deep, 6 m high, less the ledge 0.5 m thick above the slot.
  all.push_back({"stope, pocket behind a ledge, 1.5 m slot (18 % unseen)",
                 stope_volume + 16.0 * (4.0 * 6.0 - 0.5 * 4.5), [n] {
                   return Cloud{
                       voidvol_test::ledge_pocket_points(40, 8, 12, 12, 28, 1.5, 0.5, 4 * n, 52),
                       {20, 4, 6}};
                 }});
  // The same with VIEWPOINT under the ledge, where it sees the underside from the side it faces.
  all.push_back({"stope, pocket behind a ledge, VIEWPOINT under the ledge",
                 stope_volume + 16.0 * (4.0 * 6.0 - 0.5 * 4.5), [n] {
                   return Cloud{
                       voidvol_test::ledge_pocket_points(40, 8, 12, 12, 28, 1.5, 0.5, 4 * n, 52),
                       {20, 4, 0.75}};
                 }});
  all.push_back({"L-shaped stope, leg round the corner unseen (38 % unseen)",
                 (2 * 40.0 - 8.0) * 8.0 * 12.0, [n] {
                   std::vector<Point> seen;
                   for (const Point& p : face_points(l_stope_faces(40, 8, 12), n, 0.05, 53)) {
                     if (p[1] <= 8.0f) seen.push_back(p);
                   }
                   return Cloud{seen, {20, 4, 6}};
                 }});
  // Near-repeats: every point written again a float step or a tenth of a millimetre off, as
  // keyframes re-exported after a pose adjustment or one scan exported through two transforms.
  for (const auto& [copies, offset, name] :
       {std::tuple<int, float, const char*>{2, 0.0f, "stope, every point twice a float step apart"},
        {8, 0.0f, "stope, every point 8 times a float step apart"},
        {2, 1e-4f, "stope, every point twice 0.1 mm apart"},
        {8, 1e-4f, "stope, every point 8 times 0.1 mm apart"}}) {
    all.push_back({name, stope_volume, [n, copies = copies, offset = offset] {
                     return Cloud{with_copies(stope(n, 3), copies, offset), {20, 4, 6}};
                   }});
  }
  all.push_back({"stope + one stray 10,000 km off", stope_volume, [n] {
                   std::vector<Point> points = stope(n, 3);
                   points.push_back({1e7f, 0, 0});
                   return Cloud{points, {20, 4, 6}};
                 }});
  all.push_back(
      {"stope at (512345, 4312345, 120) in float64 + a point at (0, 0, 0)", stope_volume, [n] {
         std::vector<Point> points = stope(n, 44);
         points.push_back({-512345.25f, -4312345.5f, -120.125f});
         return Cloud{points, {20, 4, 6}, true, {512345.25, 4312345.5, 120.125}};
       }});
  // A drift of its own, 1.5 x 1.5 m and as long as the stope, 1 m of rock beside it.
  all.push_back({"stope + separate 1.5 x 1.5 m drift 1 m beside it, VIEWPOINT in the stope",
                 stope_volume + 40.0 * 1.5 * 1.5, [n] {
                   std::vector<Point> points = stope(n, 46);
                   append(points, face_points(box_faces({0, 9, 0}, {40, 10.5, 1.5}), n * 249 / 1792,
                                              0.05, 47));
                   return Cloud{points, {20, 4, 6}};
                 }});
  // The same 0.8 m wide and 2 m high, 0.6 m of rock beside the stope.
  all.push_back({"stope + separate 0.8 x 2 m drift 0.6 m beside it, VIEWPOINT in the stope",
                 stope_volume + 30.0 * 0.8 * 2.0, [n] {
                   std::vector<Point> points = stope(n, 46);
                   append(points, face_points(box_faces({5, 8.6, 0}, {35, 9.4, 2}), n * 172 / 1792,
                                              0.05, 47));
                   return Cloud{points, {20, 4, 6}};
                 }});
  // Drill holes in a densely sampled room: each as dense as the walls.
  all.push_back(
      {"room 8 x 4 x 3 m, 60,000 points, two 0.3 m drill holes 5 m up, 300 points each", 96.0, [] {
         std::vector<Point> points = face_points(box_faces({0, 0, 0}, {8, 4, 3}), 60000, 0.01, 50);
         append(points, drill_hole(2, 2, 3, 5, 300, 51));
         append(points, drill_hole(6, 2, 3, 5, 300, 52));
         return Cloud{points, {4, 2, 1.5f}};
       }});
  // Two drill holes of 0.3 m, 5 m into the roof, each sampled densely (300 points).
  all.push_back(
      {"stope, two 0.3 m drill holes 5 m into the roof, 300 points each", stope_volume, [n] {
         std::vector<Point> points = stope(n, 40);
         append(points, drill_hole(12, 4, 12, 5, 300, 48));
         append(points, drill_hole(28, 4, 12, 5, 300, 49));
         return Cloud{points, {20, 4, 6}};
       }});
  if (big > 0) {
    all.push_back({"stope, 5 cm rough, " + std::to_string(big) + " points", stope_volume, [big] {
                     return Cloud{stope(big, 16), {20, 4, 6}};
                   }});
  }
  return all;
}

// What a child sends back: the record's figures and its error text.
struct Outcome {
  int success;
  size_t points;
  double volume;
  size_t components;
  size_t left_out;
  size_t duplicates;
  size_t nested;
  double unscanned;
  size_t windows;
  double window_area;
  double window_width;
  char error[400];
};

void run_case(const Case& c, int depth, const std::string& dir) {
  const drone_bench::ChildRun run = drone_bench::run_in_child([&] {
    const Cloud cloud = c.make();
    const std::string path = dir + "/case.pcd";
    if (cloud.float64) {
      voidvol_test::write_xyz_pcd_float64(path, cloud.points, cloud.shift, cloud.viewpoint);
    } else {
      voidvol_test::write_xyz_pcd(path, cloud.points, cloud.viewpoint);
    }
    // The table on standard output, the reconstruction's diagnostics on standard error.
    const caikongqu::VolumeResult r = [&] {
      const drone_task::StdoutToStderr quiet_stdout;
      return caikongqu::VolumeAnalyzer::analyze(path, depth, dir);
    }();
    Outcome out{};
    out.success = r.success ? 1 : 0;
    out.points = r.points_count;
    out.volume = r.total_volume;
    out.components = r.component_volumes.size();
    out.left_out = r.stray_points;
    out.duplicates = r.duplicate_points;
    out.nested = r.nested_pieces + r.thin_pieces;
    out.unscanned = r.unscanned_share;
    out.windows = r.windows.size();
    if (!r.windows.empty()) {
      out.window_area = r.windows.front().area;
      out.window_width = r.windows.front().width;
    }
    std::snprintf(out.error, sizeof out.error, "%s", r.error_message.c_str());
    return std::string(reinterpret_cast<const char*>(&out), sizeof out);
  });
  const double seconds = run.usage.wall_seconds;
  const double peak_mb = run.usage.peak_mib;
  Outcome out{};
  if (!run.ok() || run.out.size() != sizeof out) {
    std::printf("| %s | | | | %.1f | (the analysis crashed) | | | | | | %.1f | %.0f |\n",
                c.name.c_str(), c.truth, seconds, peak_mb);
    return;
  }
  std::memcpy(&out, run.out.data(), sizeof out);
  // The windows: how many, and the largest one's area and width.
  char windows[80] = "0";
  if (out.windows > 0) {
    std::snprintf(windows, sizeof windows, "%zu (%.1f m2, %.1f m across)", out.windows,
                  out.window_area, out.window_width);
  }
  if (out.success == 0) {
    std::printf("| %s | %zu | %zu | %zu | %.1f | fails: %s | | %.2f %% | %s | | | %.1f | %.0f |\n",
                c.name.c_str(), out.points, out.duplicates, out.left_out, c.truth, out.error,
                100.0 * out.unscanned, windows, seconds, peak_mb);
  } else {
    std::printf(
        "| %s | %zu | %zu | %zu | %.1f | %.1f | %+.2f %% | %.2f %% | %s | %zu | %zu | %.1f | %.0f "
        "|\n",
        c.name.c_str(), out.points, out.duplicates, out.left_out, c.truth, out.volume,
        100.0 * (out.volume - c.truth) / c.truth, 100.0 * out.unscanned, windows, out.components,
        out.nested, seconds, peak_mb);
  }
  std::fflush(stdout);
}

// The point-cloud library's normal estimation on `cloud`, turned toward its sensor origin: its
// seconds, the normals into `normals`.
double pcl_normals(const pcl::PointCloud<pcl::PointXYZ>::Ptr& cloud,
                   pcl::PointCloud<pcl::Normal>& normals) {
  const auto start = std::chrono::steady_clock::now();
  pcl::NormalEstimationOMP<pcl::PointXYZ, pcl::Normal> estimation(0);
  estimation.setSearchMethod(
      pcl::search::KdTree<pcl::PointXYZ>::Ptr(new pcl::search::KdTree<pcl::PointXYZ>(true)));
  estimation.setKSearch(caikongqu::detail::kNormalNeighbours);
  estimation.setInputCloud(cloud);
  estimation.compute(normals);
  return seconds_since(start);
}

// Times the analysis's neighbour search, normals and their orientation on the rough stope, seen
// from a far-off origin (its one cluster propagated: the orientation's dearest case) or from
// inside, beside the point-cloud library's normal estimation, which they replace.
void time_normals(size_t count, bool from_inside) {
  namespace detail = caikongqu::detail;
  const std::array<double, 3> site{1000, 2000, 300};
  pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
  for (const Point& p : stope(count, 17, site)) cloud->push_back({p[0], p[1], p[2]});
  cloud->sensor_origin_ =
      from_inside ? Eigen::Vector4f(1020, 2004, 306, 0) : Eigen::Vector4f(0, 0, 0, 0);
  const Eigen::Vector3f viewpoint = cloud->sensor_origin_.head<3>();
  pcl::PointCloud<pcl::Normal> theirs;
  const double estimate = pcl_normals(cloud, theirs);

  auto start = std::chrono::steady_clock::now();
  const detail::NeighbourSearch search(*cloud);
  const detail::NeighbourRows rows = search.rows(detail::kNormalNeighbours);
  const double searched = seconds_since(start);
  start = std::chrono::steady_clock::now();
  pcl::PointCloud<pcl::Normal> normals = detail::estimate_normals(*cloud, rows, viewpoint);
  const double estimated = seconds_since(start);
  const bool same =
      std::memcmp(normals.data(), theirs.data(), sizeof(pcl::Normal) * normals.size()) == 0;
  start = std::chrono::steady_clock::now();
  const detail::Orientation o = detail::orient_normals(*cloud, search, rows, viewpoint, normals);
  const double orient = seconds_since(start);
  std::printf("| %zu | %s | %.2f s | %.2f s | %.2f s (%s) | %.2f s | %.2f | %zu of %zu | %zu |\n",
              count, from_inside ? "centre" : "0 0 0", estimate, searched, estimated,
              same ? "same bits" : "DIFFERENT", orient, (searched + estimated + orient) / estimate,
              o.propagated_clusters, o.clusters, o.flipped);
  std::fflush(stdout);
}

// Times the stray search and the unscanned measure on the rough stope of `count` points beside
// the point-cloud library's normal estimation. The measure runs against the mesh of the stope
// reconstructed at `depth` from 50,000 of its points: the mesh's size follows the depth, not the
// point count.
void time_checks(size_t count, int depth) {
  pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
  for (const Point& p : stope(count, 22)) cloud->push_back({p[0], p[1], p[2]});
  cloud->sensor_origin_ = Eigen::Vector4f(20, 4, 6, 0);
  pcl::PointCloud<pcl::Normal> normals;
  const double estimate = pcl_normals(cloud, normals);
  const caikongqu::detail::NeighbourSearch search(*cloud);
  const caikongqu::detail::NeighbourRows rows = search.rows(caikongqu::detail::kNormalNeighbours);
  auto start = std::chrono::steady_clock::now();
  const caikongqu::detail::Strays strays = caikongqu::detail::find_strays(*cloud, rows);
  const double sorted_out = seconds_since(start);

  pcl::PointCloud<pcl::PointNormal>::Ptr sample(new pcl::PointCloud<pcl::PointNormal>);
  const size_t step = std::max<size_t>(1, count / 50000);
  for (size_t i = 0; i < count; i += step) {
    pcl::PointNormal pn;
    pn.getVector3fMap() = (*cloud)[i].getVector3fMap();
    pn.getNormalVector3fMap() = normals[i].getNormalVector3fMap();
    sample->push_back(pn);
  }
  pcl::PolygonMesh mesh;
  pcl::Poisson<pcl::PointNormal> poisson;
  poisson.setDepth(depth);
  poisson.setInputCloud(sample);
  poisson.reconstruct(mesh);
  pcl::PointCloud<pcl::PointXYZ> vertices;
  pcl::fromPCLPointCloud2(mesh.cloud, vertices);
  start = std::chrono::steady_clock::now();
  const double share =
      caikongqu::detail::measure_unscanned(*cloud, strays.spacing, vertices, mesh.polygons).share;
  const double measure = seconds_since(start);
  std::printf("| %zu | %zu | %.2f s | %zu polygons | %.2f s (%.2f %%) | %.2f s | %.2f |\n", count,
              strays.left_out, sorted_out, mesh.polygons.size(), measure, 100.0 * share, estimate,
              (sorted_out + measure) / estimate);
  std::fflush(stdout);
}

// This process's peak resident memory so far, in MiB.
double own_peak_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// The raw mesh of the big stope, kept in DIR between the children: vertex and triangle counts,
// then the float x y z of each vertex and the int corners of each triangle.
void save_raw_mesh(const std::string& path, const pcl::PointCloud<pcl::PointXYZ>& vertices,
                   const std::vector<pcl::Vertices>& polygons) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) throw std::runtime_error("cannot write " + path);
  const uint64_t counts[2] = {vertices.size(), polygons.size()};
  std::fwrite(counts, sizeof counts, 1, f);
  for (const auto& v : vertices) std::fwrite(v.data, sizeof(float), 3, f);
  for (const auto& p : polygons) std::fwrite(p.vertices.data(), sizeof(int32_t), 3, f);
  std::fclose(f);
}

void load_raw_mesh(const std::string& path, pcl::PointCloud<pcl::PointXYZ>& vertices,
                   std::vector<pcl::Vertices>& polygons) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) throw std::runtime_error("cannot read " + path);
  uint64_t counts[2] = {};
  bool ok = std::fread(counts, sizeof counts, 1, f) == 1;
  vertices.resize(counts[0]);
  for (auto& v : vertices) ok = ok && std::fread(v.data, sizeof(float), 3, f) == 3;
  polygons.resize(counts[1]);
  for (auto& p : polygons) {
    p.vertices.resize(3);
    ok = ok && std::fread(p.vertices.data(), sizeof(int32_t), 3, f) == 3;
  }
  std::fclose(f);
  if (!ok) throw std::runtime_error("short raw mesh " + path);
}

// What a mesh child sends back.
struct MeshStep {
  double seconds;    // the step alone
  double before_mb;  // the child's peak before the step (the mesh loaded)
  double after_mb;   // and after it
  size_t vertices;
  size_t triangles;
  uint64_t bytes;  // the file written; 0 for the clean-up
  size_t welded, degenerate, filled, pieces, turned, open;
};

void print_mesh_step(const char* step, const drone_bench::ChildRun& run) {
  MeshStep m{};
  if (!run.ok() || run.out.size() != sizeof m) {
    std::printf("| %s | (failed) | | | | |\n", step);
    return;
  }
  std::memcpy(&m, run.out.data(), sizeof m);
  std::string result = "the mesh as reconstructed";
  if (m.bytes > 0) {
    result = std::to_string(m.bytes / 1024) + " KiB";
  } else if (m.pieces > 0) {
    result = "welded " + std::to_string(m.welded) + ", dropped " + std::to_string(m.degenerate) +
             ", covered " + std::to_string(m.filled) + ", pieces " + std::to_string(m.pieces) +
             " (turned " + std::to_string(m.turned) + ", open " + std::to_string(m.open) + ")";
  }
  std::printf("| %s | %zu | %zu | %.2f s | %.0f | %.0f | %s |\n", step, m.vertices, m.triangles,
              m.seconds, run.usage.peak_mib, m.after_mb - m.before_mb, result.c_str());
  std::fflush(stdout);
}

// The clean-up of the rough stope's reconstructed mesh (`count` points, PCL's normals turned
// toward the inside, reconstructed at `depth`) into a closed solid and its writing in each
// format, each in a child of its own beside the reconstruction: time, the child's peak, and
// what the step added to it.
void time_mesh_output(size_t count, int depth, const std::string& dir) {
  const std::string raw = dir + "/stope_raw_mesh.bin";
  const drone_bench::ChildRun built = drone_bench::run_in_child([&] {
    pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
    for (const Point& p : stope(count, 16)) cloud->push_back({p[0], p[1], p[2]});
    cloud->sensor_origin_ = Eigen::Vector4f(20, 4, 6, 0);
    pcl::PointCloud<pcl::Normal> normals;
    pcl_normals(cloud, normals);
    pcl::PointCloud<pcl::PointNormal>::Ptr oriented(new pcl::PointCloud<pcl::PointNormal>);
    pcl::concatenateFields(*cloud, normals, *oriented);
    cloud.reset();
    const double before = own_peak_mib();
    const auto start = std::chrono::steady_clock::now();
    pcl::PolygonMesh mesh;
    pcl::Poisson<pcl::PointNormal> poisson;
    poisson.setDepth(depth);
    poisson.setInputCloud(oriented);
    poisson.reconstruct(mesh);
    MeshStep m{};
    m.seconds = seconds_since(start);
    m.before_mb = before;
    m.after_mb = own_peak_mib();
    pcl::PointCloud<pcl::PointXYZ> vertices;
    pcl::fromPCLPointCloud2(mesh.cloud, vertices);
    m.vertices = vertices.size();
    m.triangles = mesh.polygons.size();
    save_raw_mesh(raw, vertices, mesh.polygons);
    return std::string(reinterpret_cast<const char*>(&m), sizeof m);
  });
  print_mesh_step("Poisson reconstruction (normals given)", built);
  if (!built.ok()) return;

  auto step = [&raw, &dir](bool clean_only, caikongqu::MeshFormat format) {
    return drone_bench::run_in_child([&] {
      pcl::PointCloud<pcl::PointXYZ> vertices;
      std::vector<pcl::Vertices> polygons;
      load_raw_mesh(raw, vertices, polygons);
      MeshStep m{};
      m.before_mb = own_peak_mib();
      auto start = std::chrono::steady_clock::now();
      const caikongqu::detail::SolidMesh solid = caikongqu::detail::make_solid(vertices, polygons);
      if (clean_only) {
        m.seconds = seconds_since(start);
        m.after_mb = own_peak_mib();
      } else {
        polygons = std::vector<pcl::Vertices>();
        m.before_mb = own_peak_mib();
        const std::string path = dir + "/stope_mesh." + caikongqu::detail::mesh_extension(format);
        start = std::chrono::steady_clock::now();
        safe_output::OutputFile out(path);
        std::string error = out.open();
        if (error.empty()) {
          error = caikongqu::detail::write_mesh(out, format, vertices, solid, {}, "stope");
        }
        if (error.empty()) error = out.commit();
        if (!error.empty()) throw std::runtime_error(error);
        m.seconds = seconds_since(start);
        m.after_mb = own_peak_mib();
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0) m.bytes = static_cast<uint64_t>(info.st_size);
      }
      m.vertices = solid.vertices.size();
      m.triangles = solid.triangles.size();
      m.welded = solid.welded;
      m.degenerate = solid.degenerate;
      m.filled = solid.filled;
      m.pieces = solid.pieces;
      m.turned = solid.turned;
      m.open = solid.open;
      return std::string(reinterpret_cast<const char*>(&m), sizeof m);
    });
  };
  print_mesh_step("clean-up into a closed solid", step(true, caikongqu::MeshFormat::kPly));
  for (const auto& [format, name] :
       {std::pair<caikongqu::MeshFormat, const char*>{caikongqu::MeshFormat::kPly, "write PLY"},
        {caikongqu::MeshFormat::kObj, "write OBJ"},
        {caikongqu::MeshFormat::kStl, "write STL"},
        {caikongqu::MeshFormat::kDxf, "write DXF"}}) {
    print_mesh_step(name, step(false, format));
  }
}

// The accuracy cases, the normals and the two cloud checks.
void run_cases(int depth, size_t n, size_t big, const std::string& only, const std::string& dir) {
  std::printf("depth %d, %zu points a case\n\n", depth, n);
  std::printf(
      "| case | points | duplicates | left out | true m^3 | measured m^3 | error | unscanned | "
      "windows | pieces | pieces left out | time | peak MB |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const Case& c : cases(n, big)) {
    if (only.empty() || c.name.find(only) != std::string::npos) run_case(c, depth, dir);
  }
  std::printf(
      "\n| points | VIEWPOINT | PCL normal estimation | neighbour search | normals | orientation "
      "| ratio | clusters propagated | normals turned |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  for (const size_t count : {n, big}) {
    for (const bool from_inside : {true, false}) {
      if (count > 0) time_normals(count, from_inside);
    }
  }
  std::printf(
      "\n| points | left out | stray search (neighbours given) | mesh | unscanned measure | PCL "
      "normal estimation | ratio |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (const size_t count : {n, big}) {
    if (count > 0) time_checks(count, depth);
  }
}

int run_bench(drone_bench::Options& options) {
  const int depth = static_cast<int>(options.integer("depth", 8, 1));
  const auto n = static_cast<size_t>(options.integer("points", 50000, 1));
  const auto big = static_cast<size_t>(options.integer("big", 1000000, 0));
  const std::string given_dir = options.text("dir", "");
  const std::string only = options.text("only", "");
  const bool mesh_only = options.flag("mesh_only");
  options.check_all_known();
  // A directory of its own unless one is given, removed at the end.
  std::unique_ptr<drone_bench::ScratchDir> scratch;
  if (given_dir.empty())
    scratch = std::make_unique<drone_bench::ScratchDir>("/tmp", "voidvol_bench.");
  const std::string dir = given_dir.empty() ? scratch->path() : given_dir;
  if (mesh_only) {
    std::printf("depth %d\n", depth);
  } else {
    run_cases(depth, n, big, only, dir);
  }
  if (big > 0) {
    std::printf(
        "\n| mesh of the %zu-point stope | vertices | triangles | time | peak MB | MB added by the "
        "step | result |\n",
        big);
    std::printf("|---|---|---|---|---|---|---|\n");
    time_mesh_output(big, depth, dir);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return drone_bench::bench_main(
      argc, argv,
      "voidvol_bench [--depth N] [--points N] [--big N] [--dir DIR] [--only NAME] [--mesh_only]",
      run_bench);
}
