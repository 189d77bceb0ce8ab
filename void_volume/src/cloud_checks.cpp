#include "cloud_checks.h"

#include <flann/algorithms/dist.h>
#include <flann/algorithms/kdtree_single_index.h>
#include <flann/util/matrix.h>
#include <flann/util/params.h>

#include <Eigen/Core>
#include <Eigen/Eigenvalues>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <numeric>
#include <system_error>

namespace caikongqu {
namespace detail {

namespace {

using Index = flann::KDTreeSingleIndex<flann::L2_Simple<float>>;

// The points moved so that their centroid (taken in double precision) is the origin: distances
// between them then keep all the precision single floats have, also in site coordinates.
std::vector<float> centred(const pcl::PointCloud<pcl::PointXYZ>& points, Eigen::Vector3d& centre) {
  centre = Eigen::Vector3d::Zero();
  for (const auto& p : points) centre += p.getVector3fMap().cast<double>();
  centre /= static_cast<double>(std::max<size_t>(points.size(), 1));
  std::vector<float> out;
  out.reserve(3 * points.size());
  for (const auto& p : points) {
    for (int k = 0; k < 3; ++k) out.push_back(static_cast<float>(p.data[k] - centre[k]));
  }
  return out;
}

// `value` as printf writes it with `format` and `precision` (%g, %f), whatever the locale.
std::string number_text(double value, std::chars_format format, int precision) {
  char text[64];
  const std::to_chars_result r = std::to_chars(text, text + sizeof text, value, format, precision);
  return r.ec == std::errc() ? std::string(text, r.ptr) : std::string("?");
}

size_t find_root(std::vector<uint32_t>& parent, size_t i) {
  while (parent[i] != i) {
    parent[i] = parent[parent[i]];
    i = parent[i];
  }
  return i;
}

}  // namespace

std::string check_coordinates(const pcl::PointCloud<pcl::PointXYZ>& points) {
  for (size_t i = 0; i < points.size(); ++i) {
    for (int k = 0; k < 3; ++k) {
      const float v = points[i].data[k];
      if (std::fabs(static_cast<double>(v)) > kMaxCoordinate) {
        return "Coordinate out of range: point " + std::to_string(i) + " has " + "xyz"[k] + " = " +
               number_text(v, std::chars_format::general, 6) +
               ", beyond the bound of +-1e14 within which distances fit in single precision";
      }
    }
  }
  return {};
}

Strays find_strays(const pcl::PointCloud<pcl::PointXYZ>& points) {
  Strays out;
  const size_t n = points.size();
  out.keep.assign(n, 1);
  if (n < 2) return out;
  const size_t k = std::min<size_t>(kStrayNeighbours, n - 1);
  Eigen::Vector3d centre;
  std::vector<float> pos = centred(points, centre);
  const flann::Matrix<float> table(pos.data(), n, 3);
  Index index(table, flann::KDTreeSingleIndexParams(15));
  index.buildIndex();
  std::vector<int> found_data(n * (k + 1), -1);
  std::vector<float> dist_data(n * (k + 1), 0.0f);
  flann::Matrix<int> found(found_data.data(), n, k + 1);
  flann::Matrix<float> dist(dist_data.data(), n, k + 1);
  flann::SearchParams params;
  params.cores = 0;
  index.knnSearch(table, found, dist, k + 1, params);

  // Neighbour radius of every point: the distance to its k-th nearest other point (the first
  // answer is the point itself, or a point at the same place).
  std::vector<float> radius(n);
  for (size_t i = 0; i < n; ++i) radius[i] = std::sqrt(std::max(dist[i][k], 0.0f));
  std::vector<float> sorted = radius;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n / 2),
                   sorted.end());
  out.radius = sorted[n / 2];
  sorted = std::vector<float>();
  const double cap = 5.0 * out.radius;

  std::vector<uint32_t> parent(n);
  std::iota(parent.begin(), parent.end(), 0u);
  for (size_t i = 0; i < n; ++i) {
    for (size_t c = 0; c <= k; ++c) {
      const int j = found[i][c];
      if (j < 0 || static_cast<size_t>(j) >= n || static_cast<size_t>(j) == i) continue;
      const double d = std::sqrt(std::max(static_cast<double>(dist[i][c]), 0.0));
      const double reach = 2.0 * std::min(radius[i], radius[static_cast<size_t>(j)]);
      if (d > reach || d > cap) continue;
      const size_t a = find_root(parent, i), b = find_root(parent, static_cast<size_t>(j));
      if (a != b) parent[std::max(a, b)] = static_cast<uint32_t>(std::min(a, b));
    }
  }
  std::vector<uint32_t> size(n, 0);
  for (size_t i = 0; i < n; ++i) ++size[find_root(parent, i)];
  const size_t largest =
      static_cast<size_t>(std::max_element(size.begin(), size.end()) - size.begin());
  for (size_t i = 0; i < n; ++i) {
    const size_t root = find_root(parent, i);
    if (root != largest && size[root] < kMinKeptGroup) {
      out.keep[i] = 0;
      ++out.left_out;
    }
  }
  return out;
}

std::string check_extent(const pcl::PointCloud<pcl::PointXYZ>& points) {
  Eigen::Vector3d centre;
  const std::vector<float> pos = centred(points, centre);
  Eigen::Matrix3d cov = Eigen::Matrix3d::Zero();
  for (size_t i = 0; i < points.size(); ++i) {
    const Eigen::Vector3d p(pos[3 * i], pos[3 * i + 1], pos[3 * i + 2]);
    cov += p * p.transpose();
  }
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(cov, Eigen::EigenvaluesOnly);
  // Spreads along the principal axes, widest last.
  const Eigen::Vector3d spread = solver.eigenvalues().cwiseMax(0.0).cwiseSqrt();
  const std::string count = std::to_string(points.size());
  if (spread[2] == 0.0) {
    return "Points have no 3-D extent: all " + count + " points coincide";
  }
  if (spread[1] <= kMinThickness * spread[2]) {
    return "Points have no 3-D extent: all " + count + " points lie on one line";
  }
  if (spread[0] <= kMinThickness * spread[2]) {
    return "Points have no 3-D extent: all " + count + " points lie in one plane";
  }
  return {};
}

double unscanned_share(const pcl::PointCloud<pcl::PointXYZ>& points, double radius,
                       const pcl::PointCloud<pcl::PointXYZ>& vertices,
                       const std::vector<pcl::Vertices>& polygons) {
  if (points.empty()) return 0.0;
  Eigen::Vector3d centre;
  std::vector<float> pos = centred(points, centre);
  const flann::Matrix<float> table(pos.data(), points.size(), 3);
  Index index(table, flann::KDTreeSingleIndexParams(15));
  index.buildIndex();

  // The centroid and area of every triangle, the centroids moved as the points were.
  std::vector<float> centroids;
  std::vector<double> areas;
  for (const pcl::Vertices& polygon : polygons) {
    const auto& v = polygon.vertices;
    for (size_t t = 2; t < v.size(); ++t) {
      const Eigen::Vector3d a = vertices[v[0]].getVector3fMap().cast<double>() - centre;
      const Eigen::Vector3d b = vertices[v[t - 1]].getVector3fMap().cast<double>() - centre;
      const Eigen::Vector3d c = vertices[v[t]].getVector3fMap().cast<double>() - centre;
      const Eigen::Vector3d m = (a + b + c) / 3.0;
      for (int k = 0; k < 3; ++k) centroids.push_back(static_cast<float>(m[k]));
      areas.push_back(0.5 * (b - a).cross(c - a).norm());
    }
  }
  const size_t count = areas.size();
  if (count == 0) return 0.0;
  std::vector<int> found_data(count, -1);
  std::vector<float> dist_data(count, 0.0f);
  const flann::Matrix<float> queries(centroids.data(), count, 3);
  flann::Matrix<int> found(found_data.data(), count, 1);
  flann::Matrix<float> dist(dist_data.data(), count, 1);
  flann::SearchParams params;
  params.cores = 0;
  index.knnSearch(queries, found, dist, 1, params);
  const double limit = kUnscannedRadii * radius;
  double total = 0.0, unscanned = 0.0;
  for (size_t t = 0; t < count; ++t) {
    total += areas[t];
    if (std::sqrt(static_cast<double>(dist_data[t])) > limit) unscanned += areas[t];
  }
  return total > 0.0 ? unscanned / total : 0.0;
}

std::string check_unscanned(double share) {
  if (share <= kMaxUnscannedShare) return {};
  return "Reconstructed surface is " + number_text(100.0 * share, std::chars_format::fixed, 1) +
         " % unscanned, above the " +
         number_text(100.0 * kMaxUnscannedShare, std::chars_format::fixed, 0) +
         " % allowed: no point lies near that part, so the volume would be partly guessed (a "
         "wall or floor was not scanned)";
}

}  // namespace detail
}  // namespace caikongqu
