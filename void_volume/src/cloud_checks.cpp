#include "cloud_checks.h"

#include "point_math.h"

#include <Eigen/Core>
#include <Eigen/Eigenvalues>
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <numeric>
#include <system_error>

namespace caikongqu {
namespace detail {

namespace {

// Whether the points listed in `row` (`count` entries; negative ones are skipped) lie on a sheet:
// their thinnest spread is at most kSheetThinness of their middle one, and that at least
// kSheetThinness of the widest (not a line, nor a far point seen beside a small patch of others).
bool on_a_sheet(const pcl::PointCloud<pcl::PointXYZ>& points, const int* row, size_t count) {
  Eigen::Vector3d mean = Eigen::Vector3d::Zero();
  size_t m = 0;
  for (size_t c = 0; c < count; ++c) {
    if (row[c] < 0) continue;
    mean += points[static_cast<size_t>(row[c])].getVector3fMap().cast<double>();
    ++m;
  }
  if (m < 4) return false;
  mean /= static_cast<double>(m);
  Eigen::Matrix3d cov = Eigen::Matrix3d::Zero();
  for (size_t c = 0; c < count; ++c) {
    if (row[c] < 0) continue;
    const Eigen::Vector3d d =
        points[static_cast<size_t>(row[c])].getVector3fMap().cast<double>() - mean;
    cov += d * d.transpose();
  }
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(cov, Eigen::EigenvaluesOnly);
  const Eigen::Vector3d spread = solver.eigenvalues().cwiseMax(0.0).cwiseSqrt();
  return spread[0] <= kSheetThinness * spread[1] && spread[1] >= kSheetThinness * spread[2];
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

std::string check_coordinate_step(const pcl::PointCloud<pcl::PointXYZ>& points, double radius) {
  float largest = 0.0f;
  int axis = 0;
  for (const auto& p : points) {
    for (int k = 0; k < 3; ++k) {
      if (std::fabs(p.data[k]) > std::fabs(largest)) largest = p.data[k], axis = k;
    }
  }
  const float magnitude = std::fabs(largest);
  const double step = static_cast<double>(std::nextafter(magnitude, HUGE_VALF)) - magnitude;
  if (!(step > kMaxCoordinateStep * radius)) return {};
  return std::string("Coordinates too coarse for single precision: ") + "xyz"[axis] + " = " +
         number_text(largest, std::chars_format::fixed, 2) +
         " is stored as a 4-byte float, whose step there is " +
         number_text(step, std::chars_format::general, 3) + ", coarser than the point spacing of " +
         number_text(radius, std::chars_format::general, 3) +
         " (the median distance to the 8th nearest point); export the cloud in local "
         "coordinates, or with x, y, z as 8-byte floats (SIZE 8, TYPE F)";
}

Duplicates find_exact_repeats(const pcl::PointCloud<pcl::PointXYZ>& points) {
  Duplicates out;
  const size_t n = points.size();
  if (n < 2) return out;
  auto place = [&points](uint32_t i) {
    const pcl::PointXYZ& p = points[i];
    return std::array<float, 3>{p.x, p.y, p.z};
  };
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&place](uint32_t a, uint32_t b) {
    const std::array<float, 3> pa = place(a), pb = place(b);
    return pa != pb ? pa < pb : a < b;
  });
  for (size_t i = 1; i < n; ++i) {
    if (place(order[i]) != place(order[i - 1])) continue;
    if (out.keep.empty()) out.keep.assign(n, 1);
    out.keep[order[i]] = 0;
    ++out.collapsed;
  }
  // Points all at one place are left to the extent check, which names them.
  if (out.collapsed + 1 == n) return Duplicates();
  return out;
}

Duplicates find_near_repeats(const pcl::PointCloud<pcl::PointXYZ>& points,
                             const NeighbourRows& rows) {
  Duplicates out;
  const size_t n = points.size();
  const size_t w = rows.width;
  if (n < 2 || w < 2 || rows.index.size() != n * w) return out;
  auto distance = [&points](size_t i, int j) {
    return std::sqrt(
        static_cast<double>(squared_distance(points[i], points[static_cast<size_t>(j)])));
  };
  // The local spacing among distinct places at every point.
  std::vector<float> spacing(n, 0.0f);
  for (size_t i = 0; i < n; ++i) {
    const int* row = rows.row(i);
    double farthest = 0.0;
    for (size_t c = 0; c < w; ++c) {
      if (row[c] >= 0) farthest = std::max(farthest, distance(i, row[c]));
    }
    size_t same_place = 0;
    for (size_t c = 0; c < w; ++c) {
      if (row[c] >= 0 && distance(i, row[c]) <= kSamePlaceShare * farthest) ++same_place;
    }
    spacing[i] = static_cast<float>(farthest * std::sqrt(static_cast<double>(same_place)));
  }
  // Calls `pair(i, j)` for every neighbour j of i close enough to be its copy.
  auto for_each_close = [&](size_t i, auto&& pair) {
    const int* row = rows.row(i);
    for (size_t c = 0; c < w; ++c) {
      const int j = row[c];
      if (j < 0 || static_cast<size_t>(j) == i) continue;
      const double limit = kRepeatShare * std::min(spacing[i], spacing[static_cast<size_t>(j)]);
      if (limit > 0.0 && distance(i, j) <= limit) pair(static_cast<size_t>(j));
    }
  };
  // The distance from every point to its nearest partner that close; 0: none.
  std::vector<float> partner(n, 0.0f);
  bool any = false;
  for (size_t i = 0; i < n; ++i) {
    for_each_close(i, [&](size_t j) {
      const auto d = static_cast<float>(distance(i, static_cast<int>(j)));
      if (partner[i] == 0.0f || d < partner[i]) partner[i] = d;
    });
    any = any || partner[i] > 0.0f;
  }
  if (!any) return out;
  // Copies come with their neighbours' copies; two returns that fell close by chance do not.
  std::vector<uint8_t> copied(n, 0);
  for (size_t i = 0; i < n; ++i) {
    const int* row = rows.row(i);
    size_t with = 0, all = 0;
    for (size_t c = 0; c < w; ++c) {
      if (row[c] < 0) continue;
      ++all;
      with += partner[static_cast<size_t>(row[c])] > 0.0f ? 1 : 0;
    }
    copied[i] = static_cast<double>(with) >= kCopiedShare * static_cast<double>(all) ? 1 : 0;
  }
  std::vector<uint32_t> parent(n);
  std::iota(parent.begin(), parent.end(), 0u);
  for (size_t i = 0; i < n; ++i) {
    if (!copied[i]) continue;
    for_each_close(i, [&](size_t j) {
      // Copies lie as close to each other as to their nearest partner; two places that fell
      // close by chance, each with its copies, lie farther apart.
      if (!copied[j] ||
          distance(i, static_cast<int>(j)) > kCopySpread * std::max(partner[i], partner[j])) {
        return;
      }
      const size_t a = find_root(parent, i), b = find_root(parent, j);
      if (a != b) parent[std::max(a, b)] = static_cast<uint32_t>(std::min(a, b));
    });
  }
  for (size_t i = 0; i < n; ++i) {
    if (find_root(parent, i) == i) continue;
    if (out.keep.empty()) out.keep.assign(n, 1);
    out.keep[i] = 0;
    ++out.collapsed;
  }
  return out;
}

Strays find_strays(const pcl::PointCloud<pcl::PointXYZ>& points, const NeighbourRows& rows) {
  Strays out;
  const size_t n = points.size();
  out.keep.assign(n, 1);
  out.spacing.assign(n, 0.0f);
  if (n < 2 || rows.width < 2) return out;
  // Each row's first entries: the point itself and its k nearest others.
  const size_t k = std::min<size_t>(kStrayNeighbours, rows.width - 1);
  auto neighbour = [&rows](size_t i, size_t c) { return rows.row(i)[c]; };
  auto distance = [&points](size_t i, int j) {
    return std::sqrt(
        static_cast<double>(squared_distance(points[i], points[static_cast<size_t>(j)])));
  };

  // Neighbour radius of every point: the distance to its k-th nearest other point (the first
  // answer is the point itself, or a point at the same place).
  std::vector<float> radius(n);
  for (size_t i = 0; i < n; ++i) {
    radius[i] = neighbour(i, k) < 0 ? 0.0f : static_cast<float>(distance(i, neighbour(i, k)));
  }
  std::vector<float> sorted = radius;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n / 2),
                   sorted.end());
  out.radius = sorted[n / 2];
  sorted = std::vector<float>();
  const double cap = kMaxGroupSpacing * out.radius;
  // The local sampling: the median radius over each point and its neighbours.
  for (size_t i = 0; i < n; ++i) {
    std::array<float, kStrayNeighbours + 2> near{};
    size_t m = 0;
    near[m++] = radius[i];
    for (size_t c = 0; c <= k; ++c) {
      const int j = neighbour(i, c);
      if (j >= 0 && static_cast<size_t>(j) != i) near[m++] = radius[static_cast<size_t>(j)];
    }
    std::nth_element(near.begin(), near.begin() + static_cast<std::ptrdiff_t>(m / 2),
                     near.begin() + static_cast<std::ptrdiff_t>(m));
    out.spacing[i] = near[m / 2];
  }

  // A link longer than the cap joins only points of a sheet: a wall sampled sparsely (far from
  // the station that scanned it) continues the surface, dust and far returns do not. Only points
  // sampled wider than half the cap can have such a link; only they are looked at.
  std::vector<uint8_t> sheet(n, 0);
  for (size_t i = 0; i < n; ++i) {
    if (2.0 * radius[i] > cap) sheet[i] = on_a_sheet(points, rows.row(i), k + 1) ? 1 : 0;
  }

  std::vector<uint32_t> parent(n);
  std::iota(parent.begin(), parent.end(), 0u);
  for (size_t i = 0; i < n; ++i) {
    for (size_t c = 0; c <= k; ++c) {
      const int j = neighbour(i, c);
      if (j < 0 || static_cast<size_t>(j) == i) continue;
      const double d = distance(i, j);
      const double reach = 2.0 * std::min(radius[i], radius[static_cast<size_t>(j)]);
      if (d > reach || (d > cap && !(sheet[i] && sheet[static_cast<size_t>(j)]))) continue;
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

}  // namespace detail
}  // namespace caikongqu
