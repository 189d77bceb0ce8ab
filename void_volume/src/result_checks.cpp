#include "result_checks.h"

#include <flann/util/matrix.h>
#include <flann/util/params.h>

#include <cmath>
#include <cstdio>
#include <numeric>

#include "point_math.h"

namespace caikongqu {
namespace detail {

Unscanned measure_unscanned(const pcl::PointCloud<pcl::PointXYZ>& points,
                            const std::vector<float>& spacing,
                            const pcl::PointCloud<pcl::PointXYZ>& vertices,
                            const std::vector<pcl::Vertices>& polygons) {
  Unscanned out;
  if (points.empty() || spacing.size() != points.size()) return out;
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
  if (count == 0) return out;
  std::vector<int> found_data(count, -1);
  std::vector<float> dist_data(count, 0.0f);
  const flann::Matrix<float> queries(centroids.data(), count, 3);
  flann::Matrix<int> found(found_data.data(), count, 1);
  flann::Matrix<float> dist(dist_data.data(), count, 1);
  flann::SearchParams params;
  params.cores = 0;
  index.knnSearch(queries, found, dist, 1, params);

  // Unscanned triangles sharing a vertex form one patch.
  std::vector<uint32_t> parent;
  double unscanned = 0.0;
  size_t t = 0;
  for (const pcl::Vertices& polygon : polygons) {
    const auto& v = polygon.vertices;
    for (size_t f = 2; f < v.size(); ++f, ++t) {
      out.area += areas[t];
      const int j = found_data[t];
      if (j < 0 || static_cast<size_t>(j) >= points.size()) continue;
      const double limit = kUnscannedRadii * spacing[static_cast<size_t>(j)];
      if (std::sqrt(static_cast<double>(dist_data[t])) <= limit) continue;
      unscanned += areas[t];
      if (parent.empty()) {
        parent.resize(vertices.size());
        std::iota(parent.begin(), parent.end(), 0u);
      }
      for (const size_t w : {static_cast<size_t>(v[f - 1]), static_cast<size_t>(v[f])}) {
        const size_t a = find_root(parent, v[0]), b = find_root(parent, w);
        if (a != b) parent[std::max(a, b)] = static_cast<uint32_t>(std::min(a, b));
      }
    }
  }
  if (!(out.area > 0.0)) return out;
  out.share = unscanned / out.area;
  if (parent.empty()) return out;
  // Area and area-weighted centre of every patch, by the root of its first vertex.
  std::vector<double> patch_area(vertices.size(), 0.0);
  std::vector<Eigen::Vector3d> patch_sum(vertices.size(), Eigen::Vector3d::Zero());
  t = 0;
  for (const pcl::Vertices& polygon : polygons) {
    const auto& v = polygon.vertices;
    for (size_t f = 2; f < v.size(); ++f, ++t) {
      const int j = found_data[t];
      if (j < 0 || static_cast<size_t>(j) >= points.size()) continue;
      const double limit = kUnscannedRadii * spacing[static_cast<size_t>(j)];
      if (std::sqrt(static_cast<double>(dist_data[t])) <= limit) continue;
      const size_t root = find_root(parent, v[0]);
      patch_area[root] += areas[t];
      const Eigen::Vector3d m(centroids[3 * t], centroids[3 * t + 1], centroids[3 * t + 2]);
      patch_sum[root] += areas[t] * (m + centre);
    }
  }
  const size_t largest = static_cast<size_t>(
      std::max_element(patch_area.begin(), patch_area.end()) - patch_area.begin());
  out.patch_area = patch_area[largest];
  if (out.patch_area > 0.0) out.patch_centre = patch_sum[largest] / out.patch_area;
  return out;
}

std::string check_unscanned(const Unscanned& measured) {
  if (measured.share <= kMaxUnscannedShare) return {};
  auto fixed = [](double value, int decimals) {
    return number_text(value, std::chars_format::fixed, decimals);
  };
  const Eigen::Vector3d& c = measured.patch_centre;
  return "Reconstructed surface is " + fixed(100.0 * measured.share, 1) +
         " % unscanned, above the " + fixed(100.0 * kMaxUnscannedShare, 0) +
         " % allowed: no point lies near that part, so the volume would be partly guessed; the "
         "largest unscanned patch covers " +
         number_text(measured.patch_area, std::chars_format::general, 4) + " of the surface's " +
         number_text(measured.area, std::chars_format::general, 4) + " square units, around (" +
         fixed(c.x(), 2) + ", " + fixed(c.y(), 2) + ", " + fixed(c.z(), 2) + ")";
}

std::string check_against_hull(double volume, double hull_volume) {
  if (volume <= kMaxVolumeOverHull * hull_volume) return {};
  char text[400];
  std::snprintf(text, sizeof text,
                "Reconstructed volume %.6f exceeds the volume %.6f of the points' convex hull by "
                "more than 25 %%: the normals are likely inconsistent, several voids touch, or a "
                "large part of the void was not scanned",
                volume, hull_volume);
  return text;
}

bool thinner_than_sampling(double volume, double area, double radius, double largest) {
  return area > 0.0 && 3.0 * volume / area < kMinPieceThickness * radius &&
         volume <= kMaxThinPieceShare * largest;
}

}  // namespace detail
}  // namespace caikongqu
