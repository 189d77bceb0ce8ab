// Accuracy of the void volume analysis on generated survey clouds of known volume.
//
//   voidvol_bench [--depth N] [--points N] [--big N] [--dir DIR] [--only NAME]
//
// Writes each case as a PCD file in DIR (default: a new directory under /tmp, removed at the
// end), runs VolumeAnalyzer::analyze on it in a child process and prints, per case, the true
// volume, the measured one, the error in percent, the number of pieces, the time of the analysis
// and the child's peak memory. Clean cases (a void scanned from inside, every wall visible) come
// first, then the clouds as survey teams store them: moved to site coordinates with the sensor
// origin left at 0, several voids in one file, a void not visible whole from any one point.
// Ends with the time of the normal orientation step beside the normal estimation it follows.
#include <pcl/features/normal_3d_omp.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <pcl/search/kdtree.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "bench/measure.h"
#include "cloud_files.h"
#include "cloud_writer.h"
#include "normal_orientation.h"
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
  char error[400];
};

void run_case(const Case& c, int depth, const std::string& dir) {
  const drone_bench::ChildRun run = drone_bench::run_in_child([&] {
    const Cloud cloud = c.make();
    const std::string path = dir + "/case.pcd";
    voidvol_test::write_xyz_pcd(path, cloud.points, cloud.viewpoint);
    const caikongqu::VolumeResult r = caikongqu::VolumeAnalyzer::analyze(path, depth, dir);
    Outcome out{};
    out.success = r.success ? 1 : 0;
    out.points = r.points_count;
    out.volume = r.total_volume;
    out.components = r.component_volumes.size();
    std::snprintf(out.error, sizeof out.error, "%s", r.error_message.c_str());
    return std::string(reinterpret_cast<const char*>(&out), sizeof out);
  });
  const double seconds = run.usage.wall_seconds;
  const double peak_mb = run.usage.peak_mib;
  Outcome out{};
  if (!run.ok() || run.out.size() != sizeof out) {
    std::printf("| %s | | %.1f | (the analysis crashed) | | | %.1f | %.0f |\n", c.name.c_str(),
                c.truth, seconds, peak_mb);
    return;
  }
  std::memcpy(&out, run.out.data(), sizeof out);
  if (out.success == 0) {
    std::printf("| %s | %zu | %.1f | fails: %s | | | %.1f | %.0f |\n", c.name.c_str(), out.points,
                c.truth, out.error, seconds, peak_mb);
  } else {
    std::printf("| %s | %zu | %.1f | %.1f | %+.2f %% | %zu | %.1f | %.0f |\n", c.name.c_str(),
                out.points, c.truth, out.volume, 100.0 * (out.volume - c.truth) / c.truth,
                out.components, seconds, peak_mb);
  }
  std::fflush(stdout);
}

// Times the normal estimation and the orientation that follows it on the rough stope, seen
// from a far-off origin (its one cluster propagated: the step's dearest case) or from inside.
void time_orientation(size_t count, bool from_inside) {
  const std::array<double, 3> site{1000, 2000, 300};
  pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
  for (const Point& p : stope(count, 17, site)) cloud->push_back({p[0], p[1], p[2]});
  cloud->sensor_origin_ =
      from_inside ? Eigen::Vector4f(1020, 2004, 306, 0) : Eigen::Vector4f(0, 0, 0, 0);
  pcl::PointCloud<pcl::Normal> normals;
  auto start = std::chrono::steady_clock::now();
  pcl::NormalEstimationOMP<pcl::PointXYZ, pcl::Normal> estimation(0);
  estimation.setSearchMethod(
      pcl::search::KdTree<pcl::PointXYZ>::Ptr(new pcl::search::KdTree<pcl::PointXYZ>(true)));
  estimation.setKSearch(20);
  estimation.setInputCloud(cloud);
  estimation.compute(normals);
  const double estimate = seconds_since(start);
  start = std::chrono::steady_clock::now();
  const caikongqu::detail::Orientation o =
      caikongqu::detail::orient_normals(*cloud, cloud->sensor_origin_.head<3>(), normals);
  const double orient = seconds_since(start);
  std::printf("| %zu | %s | %.2f s | %.2f s | %.2f | %zu of %zu | %zu |\n", count,
              from_inside ? "centre" : "0 0 0", estimate, orient, orient / estimate,
              o.propagated_clusters, o.clusters, o.flipped);
  std::fflush(stdout);
}

int run_bench(drone_bench::Options& options) {
  const int depth = static_cast<int>(options.integer("depth", 8, 1));
  const auto n = static_cast<size_t>(options.integer("points", 50000, 1));
  const auto big = static_cast<size_t>(options.integer("big", 1000000, 0));
  const std::string given_dir = options.text("dir", "");
  const std::string only = options.text("only", "");
  options.check_all_known();
  // A directory of its own unless one is given, removed at the end.
  std::unique_ptr<drone_bench::ScratchDir> scratch;
  if (given_dir.empty())
    scratch = std::make_unique<drone_bench::ScratchDir>("/tmp", "voidvol_bench.");
  const std::string dir = given_dir.empty() ? scratch->path() : given_dir;
  std::printf("depth %d, %zu points a case\n\n", depth, n);
  std::printf("| case | points | true m^3 | measured m^3 | error | pieces | time | peak MB |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (const Case& c : cases(n, big)) {
    if (only.empty() || c.name.find(only) != std::string::npos) run_case(c, depth, dir);
  }
  std::printf(
      "\n| points | VIEWPOINT | normal estimation | orientation | ratio | clusters propagated "
      "| normals turned |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (const size_t count : {n, big}) {
    for (const bool from_inside : {true, false}) {
      if (count > 0) time_orientation(count, from_inside);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return drone_bench::bench_main(
      argc, argv, "voidvol_bench [--depth N] [--points N] [--big N] [--dir DIR] [--only NAME]",
      run_bench);
}
