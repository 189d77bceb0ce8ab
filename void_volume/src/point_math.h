#pragma once

// Small tools shared by the checks on the points and on the reconstructed surface.

#include <flann/algorithms/dist.h>
#include <flann/algorithms/kdtree_single_index.h>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

namespace caikongqu {
namespace detail {

// The exact nearest-neighbour search over single-precision points.
using Index = flann::KDTreeSingleIndex<flann::L2_Simple<float>>;

// The points moved so that their centroid (taken in double precision) is the origin: distances
// between them then keep all the precision single floats have, also in site coordinates.
inline std::vector<float> centred(const pcl::PointCloud<pcl::PointXYZ>& points,
                                  Eigen::Vector3d& centre) {
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
inline std::string number_text(double value, std::chars_format format, int precision) {
  char text[64];
  const std::to_chars_result r = std::to_chars(text, text + sizeof text, value, format, precision);
  return r.ec == std::errc() ? std::string(text, r.ptr) : std::string("?");
}

// The root of `i` in the union-find forest `parent`, halving the path on the way.
inline size_t find_root(std::vector<uint32_t>& parent, size_t i) {
  while (parent[i] != i) {
    parent[i] = parent[parent[i]];
    i = parent[i];
  }
  return i;
}

}  // namespace detail
}  // namespace caikongqu
