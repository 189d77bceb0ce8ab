#include "result_checks.h"

#include <flann/util/matrix.h>
#include <flann/util/params.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numeric>

#include "coverage.h"
#include "point_math.h"

namespace caikongqu {
namespace detail {

namespace {

// Calls `triangle(t, a, b, c)` for every triangle t of the polygons' fans, in order, with the
// indices of its three vertices.
template <class Triangle>
void for_each_triangle(const std::vector<pcl::Vertices>& polygons, Triangle triangle) {
  size_t t = 0;
  for (const pcl::Vertices& polygon : polygons) {
    const auto& v = polygon.vertices;
    for (size_t f = 2; f < v.size(); ++f, ++t) triangle(t, v[0], v[f - 1], v[f]);
  }
}

// The centroid and area of every triangle, the centroids moved by -`centre` as the points were.
struct Triangles {
  std::vector<float> centroids;  // x, y, z of each
  std::vector<double> areas;
};

Triangles triangles_of(const pcl::PointCloud<pcl::PointXYZ>& vertices,
                       const std::vector<pcl::Vertices>& polygons, const Eigen::Vector3d& centre) {
  Triangles out;
  for_each_triangle(polygons, [&](size_t, pcl::index_t i, pcl::index_t j, pcl::index_t k) {
    const Eigen::Vector3d a = vertices[i].getVector3fMap().cast<double>() - centre;
    const Eigen::Vector3d b = vertices[j].getVector3fMap().cast<double>() - centre;
    const Eigen::Vector3d c = vertices[k].getVector3fMap().cast<double>() - centre;
    const Eigen::Vector3d m = (a + b + c) / 3.0;
    for (int d = 0; d < 3; ++d) out.centroids.push_back(static_cast<float>(m[d]));
    out.areas.push_back(0.5 * (b - a).cross(c - a).norm());
  });
  return out;
}

// Whether each triangle is unscanned: farther from the point nearest its centroid than
// kUnscannedRadii times that point's spacing, and not in a gap of the scan's pattern; `gap` gets
// each centroid's distance to its nearest point. `pos` holds the points centred as the centroids.
std::vector<uint8_t> unscanned_triangles(std::vector<float>& pos, const std::vector<float>& spacing,
                                         Triangles& triangles, std::vector<float>& gap) {
  const size_t points = spacing.size();
  const flann::Matrix<float> table(pos.data(), points, 3);
  Index index(table, flann::KDTreeSingleIndexParams(15));
  index.buildIndex();
  const size_t count = triangles.areas.size();
  std::vector<int> found_data(count, -1);
  std::vector<float> dist_data(count, 0.0f);
  const flann::Matrix<float> queries(triangles.centroids.data(), count, 3);
  flann::Matrix<int> found(found_data.data(), count, 1);
  flann::Matrix<float> dist(dist_data.data(), count, 1);
  flann::SearchParams params;
  params.cores = 0;
  index.knnSearch(queries, found, dist, 1, params);

  std::vector<uint8_t> unscanned(count, 0);
  gap.assign(count, 0.0f);
  for (size_t t = 0; t < count; ++t) {
    const int j = found_data[t];
    if (j < 0 || static_cast<size_t>(j) >= points) continue;
    const double limit = kUnscannedRadii * spacing[static_cast<size_t>(j)];
    const double distance = std::sqrt(static_cast<double>(dist_data[t]));
    gap[t] = static_cast<float>(distance);
    unscanned[t] = distance <= limit ? 0 : 1;
  }
  keep_pattern_gaps(index, pos, found_data, gap, kUnscannedRadii, unscanned);
  return unscanned;
}

// Adds the area of every triangle to out->area and returns that of the unscanned ones. Joins the
// vertices of unscanned triangles that share a vertex into one patch in `parent`, which is left
// empty while no triangle is unscanned.
double join_patches(const std::vector<pcl::Vertices>& polygons, const Triangles& triangles,
                    const std::vector<uint8_t>& unscanned, size_t vertex_count,
                    std::vector<uint32_t>& parent, Unscanned* out) {
  double unscanned_area = 0.0;
  for_each_triangle(
      polygons, [&](size_t t, pcl::index_t first, pcl::index_t second, pcl::index_t third) {
        out->area += triangles.areas[t];
        if (unscanned[t] == 0) return;
        unscanned_area += triangles.areas[t];
        if (parent.empty()) {
          parent.resize(vertex_count);
          std::iota(parent.begin(), parent.end(), 0u);
        }
        for (const size_t w : {static_cast<size_t>(second), static_cast<size_t>(third)}) {
          const size_t a = find_root(parent, first), b = find_root(parent, w);
          if (a != b) parent[std::max(a, b)] = static_cast<uint32_t>(std::min(a, b));
        }
      });
  return unscanned_area;
}

// The largest patch of unscanned triangles that share vertices, `parent` joining the vertices of
// each patch: its area and area-weighted centre, the centroids moved back by `centre`.
void largest_patch(const std::vector<pcl::Vertices>& polygons, const Triangles& triangles,
                   const std::vector<uint8_t>& unscanned, const Eigen::Vector3d& centre,
                   std::vector<uint32_t>& parent, Unscanned* out) {
  // Area and area-weighted centre of every patch, by the root of its first vertex.
  std::vector<double> patch_area(parent.size(), 0.0);
  std::vector<Eigen::Vector3d> patch_sum(parent.size(), Eigen::Vector3d::Zero());
  for_each_triangle(polygons, [&](size_t t, pcl::index_t first, pcl::index_t, pcl::index_t) {
    if (unscanned[t] == 0) return;
    const size_t root = find_root(parent, first);
    patch_area[root] += triangles.areas[t];
    const std::vector<float>& c = triangles.centroids;
    const Eigen::Vector3d m(c[3 * t], c[3 * t + 1], c[3 * t + 2]);
    patch_sum[root] += triangles.areas[t] * (m + centre);
  });
  const size_t largest = static_cast<size_t>(
      std::max_element(patch_area.begin(), patch_area.end()) - patch_area.begin());
  out->patch_area = patch_area[largest];
  if (out->patch_area > 0.0) out->patch_centre = patch_sum[largest] / out->patch_area;
}

}  // namespace

Unscanned measure_unscanned(const pcl::PointCloud<pcl::PointXYZ>& points,
                            const std::vector<float>& spacing,
                            const pcl::PointCloud<pcl::PointXYZ>& vertices,
                            const std::vector<pcl::Vertices>& polygons) {
  Unscanned out;
  if (points.empty() || spacing.size() != points.size()) return out;
  Eigen::Vector3d centre;
  std::vector<float> pos = centred(points, centre);
  Triangles triangles = triangles_of(vertices, polygons, centre);
  if (triangles.areas.empty()) return out;
  out.triangles = unscanned_triangles(pos, spacing, triangles, out.gap);
  const std::vector<uint8_t>& unscanned = out.triangles;

  std::vector<uint32_t> parent;
  const double unscanned_area =
      join_patches(polygons, triangles, unscanned, vertices.size(), parent, &out);
  if (!(out.area > 0.0)) return out;
  out.share = unscanned_area / out.area;
  if (parent.empty()) return out;
  largest_patch(polygons, triangles, unscanned, centre, parent, &out);
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
