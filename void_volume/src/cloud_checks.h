#pragma once

// The checks a cloud passes before it is reconstructed (coordinate range, stray points, 3-D
// extent) and the measure of how much of the reconstructed surface no point supports.

#include <pcl/Vertices.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace caikongqu {
namespace detail {

// The largest coordinate magnitude accepted, in any unit. Below it the squared distances the
// neighbour search forms, and the sums of squares of all coordinates of even 2^32 points, stay
// well inside single precision; above it they can overflow and the search tree is built wrong.
constexpr double kMaxCoordinate = 1e14;

// "" when every coordinate of the finite `points` lies within +-kMaxCoordinate; otherwise the
// failure text naming the first point beyond it (counted from 0 among the finite points).
std::string check_coordinates(const pcl::PointCloud<pcl::PointXYZ>& points);

// The neighbours each point is compared with, and the smallest group of points that is kept.
// A group smaller than the neighbourhood a normal is estimated from (20 points) has no normals
// of its own: each mixes in points of other groups, so it cannot be a surface that was scanned.
constexpr int kStrayNeighbours = 8;
constexpr size_t kMinKeptGroup = 20;

// What the search for stray points found.
struct Strays {
  // keep[i] is 0 for a stray point, 1 for a point of the scanned surface.
  std::vector<uint8_t> keep;
  // Number of zeros in keep.
  size_t left_out = 0;
  // The median over all points of the distance to the kStrayNeighbours-th nearest neighbour:
  // the cloud's own length scale, whatever its unit and position.
  double radius = 0.0;
};

// Groups the finite `points`: two points are joined when one is among the other's
// kStrayNeighbours nearest, their distance is at most twice the neighbour radius (distance to
// the kStrayNeighbours-th nearest) of each of them and at most 5 times the cloud's median
// radius. Points of groups smaller than kMinKeptGroup are strays, except in the largest group,
// which is always kept. Depends only on distance ratios: the same in mm or m, near the origin
// or far from it. Time O(n log n), memory about 80 bytes a point. Throws only std::bad_alloc.
Strays find_strays(const pcl::PointCloud<pcl::PointXYZ>& points);

// Below this ratio of the thinnest spread of the points to their widest, they have no 3-D
// extent (they coincide, lie on one line or in one plane).
constexpr double kMinThickness = 1e-4;

// "" when the finite `points` span a volume; otherwise the failure text saying whether they
// coincide, lie on one line or in one plane.
std::string check_extent(const pcl::PointCloud<pcl::PointXYZ>& points);

// The surface farther than this many neighbour radii from every point is unscanned: no point
// was measured there, the reconstruction made it up.
constexpr double kUnscannedRadii = 2.0;

// Above this share of unscanned surface the volume is refused: too much of it is guessed.
constexpr double kMaxUnscannedShare = 0.04;

// The share (0 to 1) of the area of the mesh (`vertices`, `polygons` fanned into triangles)
// whose triangles have their centroid farther than kUnscannedRadii * `radius` from every point
// of `points`; 0 for a mesh without area. Indices must have been checked. Throws only
// std::bad_alloc.
double unscanned_share(const pcl::PointCloud<pcl::PointXYZ>& points, double radius,
                       const pcl::PointCloud<pcl::PointXYZ>& vertices,
                       const std::vector<pcl::Vertices>& polygons);

// "" when `share` is at most kMaxUnscannedShare; otherwise the run's failure text.
std::string check_unscanned(double share);

}  // namespace detail
}  // namespace caikongqu
