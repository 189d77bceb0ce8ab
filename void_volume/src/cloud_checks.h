#pragma once

// The checks on the input cloud before it is reconstructed (coordinate range and precision,
// repeated points, 3-D extent) and the search for stray points.

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "neighbour_search.h"

namespace caikongqu {
namespace detail {

// The largest coordinate magnitude accepted, in any unit. Below it the squared distances the
// neighbour search forms, and the sums of squares of all coordinates of even 2^32 points, stay
// well inside single precision; above it they can overflow and the search tree is built wrong.
constexpr double kMaxCoordinate = 1e14;

// "" when every coordinate of the finite `points` lies within +-kMaxCoordinate; otherwise the
// failure text naming the first point beyond it (counted from 0 among the finite points).
std::string check_coordinates(const pcl::PointCloud<pcl::PointXYZ>& points);

// What the search for repeated points found.
struct Duplicates {
  // keep[i] is 0 for a point that repeats an earlier one, 1 otherwise; empty when none repeats.
  std::vector<uint8_t> keep;
  // Number of zeros in keep.
  size_t collapsed = 0;
};

// Finds the finite `points` that lie exactly where an earlier one lies (a cloud written twice,
// merged cumulative keyframes). The first of each set is kept, so a cloud without repeats is
// kept whole and in order. Time O(n log n), memory 4 bytes a point. Throws only std::bad_alloc.
Duplicates find_exact_repeats(const pcl::PointCloud<pcl::PointXYZ>& points);

// Two points closer together than this share of the local spacing are one point: copies a float
// step apart, or re-exported through another transform (a tenth of a millimetre apart), carry
// nothing new.
constexpr double kRepeatShare = 0.01;
// A neighbour within this share of the farthest in a point's row sits at the point's own place
// for the count of copies that corrects the local spacing (below).
constexpr double kSamePlaceShare = 0.05;
// Copies come in numbers: a cloud exported twice, keyframes that overlap. A point is taken for a
// copy only where at least this share of its row has a partner that close; two returns that
// fell that close by chance (one point in about 500, at 20 neighbours on a surface) stand alone.
constexpr double kCopiedShare = 0.25;
// Copies of one place lie at most this many times the distance to their nearest partner apart:
// within a copied region, two places that fell close by chance stay two.
constexpr double kCopySpread = 4.0;

// Finds the points of `points` (no two at exactly the same place), whose nearest neighbours
// `rows` lists, that repeat an earlier one: two points are joined when they are at most
// kRepeatShare times the local spacing of either apart, at least kCopiedShare of the row of each
// has such a partner, and they lie at most kCopySpread times the distance from either to its
// nearest such partner apart; the first of each joined set is kept, so a cloud without copies is
// kept whole. A point's local spacing is the distance to the farthest in its row, times the square
// root of the number of its row within kSamePlaceShare of that distance (the point itself and its
// copies): with c copies of every place, a row holds 1/c as many distinct places, and the spacing
// among distinct places on a surface grows as the square root of their count. The spacing comes
// from the points alone, never from the cloud's extent: a stray far off has a wide spacing, the
// real points beside it their own. Time O(n) besides the rows, memory 10 bytes a point. Throws
// only std::bad_alloc.
Duplicates find_near_repeats(const pcl::PointCloud<pcl::PointXYZ>& points,
                             const NeighbourRows& rows);

// The neighbours each point is compared with, and the smallest group of points that is kept.
// A group smaller than the neighbourhood a normal is estimated from (20 points) has no normals
// of its own: each mixes in points of other groups, so it cannot be a surface that was scanned.
constexpr int kStrayNeighbours = 8;
constexpr size_t kMinKeptGroup = 20;
constexpr double kMaxGroupSpacing = 5.0;
constexpr double kSheetThinness = 0.2;

// What the search for stray points found.
struct Strays {
  // keep[i] is 0 for a stray point, 1 for a point of the scanned surface.
  std::vector<uint8_t> keep;
  // Number of zeros in keep.
  size_t left_out = 0;
  // The median over all points of the distance to the kStrayNeighbours-th nearest neighbour:
  // the cloud's own length scale, whatever its unit and position.
  double radius = 0.0;
  // The sampling near every point: the median of the neighbour radii of the point and of its
  // kStrayNeighbours nearest. A far wall a station saw sparsely has a wide spacing, a wall it
  // saw closely a narrow one; a lone point in a hole takes the spacing of the hole's rim.
  std::vector<float> spacing;
};

// Groups the finite `points`, whose nearest neighbours `rows` lists (the first kStrayNeighbours
// others of each row are looked at): two points are joined when one is among the other's
// kStrayNeighbours nearest, their distance is at most twice the neighbour radius (distance to the
// kStrayNeighbours-th nearest) of each of them and at most kMaxGroupSpacing times the cloud's
// median radius. The last bound does not hold between two points whose neighbourhoods are both
// sheets (their thinnest spread at most kSheetThinness of the middle one, that at least
// kSheetThinness of the widest): a wall whose sampling
// thins out with the distance from the station that scanned it stays one group, while dust and
// far returns, spread through space, do not chain. Points of groups smaller than kMinKeptGroup
// are strays, except in the largest group, which is always kept. Depends only on distance
// ratios: the same in mm or m, near the origin or far from it. Time O(n), memory about 20 bytes
// a point. Throws only std::bad_alloc.
Strays find_strays(const pcl::PointCloud<pcl::PointXYZ>& points, const NeighbourRows& rows);

// A cloud stored in 4-byte floats whose float step at its largest coordinate exceeds this many
// median neighbour radii (Strays::radius) has lost its shape to rounding: site coordinates
// written in single precision.
constexpr double kMaxCoordinateStep = 1.0;

// "" when the float step at the largest coordinate magnitude of `points` is at most
// kMaxCoordinateStep times `radius`; otherwise the failure text naming the coordinate, its step,
// the spacing and how to export the cloud instead.
std::string check_coordinate_step(const pcl::PointCloud<pcl::PointXYZ>& points, double radius);

// Below this ratio of the thinnest spread of the points to their widest, they have no 3-D
// extent (they coincide, lie on one line or in one plane).
constexpr double kMinThickness = 1e-4;

// "" when the finite `points` span a volume; otherwise the failure text saying whether they
// coincide, lie on one line or in one plane.
std::string check_extent(const pcl::PointCloud<pcl::PointXYZ>& points);

}  // namespace detail
}  // namespace caikongqu
