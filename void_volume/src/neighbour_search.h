#pragma once

// The nearest-neighbour search over the cloud's points, set up once and asked by every step
// before the reconstruction: the stray search, the normals and their orientation.

#include <flann/algorithms/dist.h>
#include <flann/algorithms/kdtree_single_index.h>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace caikongqu {
namespace detail {

// The nearest points of every point, `width` to a row: row i lists the points nearest to point i
// by rising distance, the point itself among them (first, unless another lies at the same
// place), with -1 where fewer points exist.
struct NeighbourRows {
  size_t width = 0;
  std::vector<int> index;  // row i is index[i * width] .. index[i * width + width - 1]

  const int* row(size_t i) const { return index.data() + i * width; }
};

// An exact k-d tree over single-precision points, the same tree and the same answers as the
// point-cloud library's (15 points a leaf, the points in their order, ties in the order the
// tree meets them). Points can be left out, in one or more rounds; from then on they are never
// found, and the points are numbered as the kept ones in their order.
class NeighbourSearch {
 public:
  // Builds the tree over the finite `points` (fewer than 2^31), which it copies.
  explicit NeighbourSearch(const pcl::PointCloud<pcl::PointXYZ>& points);
  NeighbourSearch(const NeighbourSearch&) = delete;
  NeighbourSearch& operator=(const NeighbourSearch&) = delete;
  ~NeighbourSearch();

  // The `width` nearest points of every point (at most all of them), threaded; before any point
  // is left out. Memory: 4 bytes an entry, and fixed buffers.
  NeighbourRows rows(size_t width) const;

  // Leaves out the points whose entry in `keep` is 0 (one entry for each point still searched,
  // in their present numbering) and turns `rows` into the rows of the kept points, numbered as
  // the kept ones: a row that named a point left out is searched again. The kept points must be
  // at least `rows.width`.
  void leave_out(const std::vector<uint8_t>& keep, NeighbourRows& rows);

  // The `count` nearest points to `at` (x, y, z) among those searched (at most all of them), by
  // rising distance, into `found` (resized to their number); `scratch` and `distance` are the
  // caller's space, reused from call to call.
  void nearest(const float* at, size_t count, std::vector<int>& found, std::vector<size_t>& scratch,
               std::vector<float>& distance) const;

 private:
  using Index = flann::KDTreeSingleIndex<flann::L2_Simple<float>>;

  std::vector<float> xyz_;        // x, y, z of every point as given
  std::vector<int32_t> order_;    // the points in spatial order
  std::unique_ptr<Index> index_;  // over xyz_
  std::vector<int> number_;       // a tree point's number among the kept ones, -1 when left out
  std::vector<uint32_t> point_;   // the tree point of each kept one; empty before any leave-out
  size_t kept_ = 0;
};

// The points in the order of a Morton (Z-order) curve over their bounding box, ties by index:
// order[k] is the point that comes k-th. Neighbours in space end up near each other in memory,
// which is what keeps searches and walks over clouds of millions of points stored in scan order,
// or none, fast. At least one point.
std::vector<int32_t> spatial_order(const pcl::PointCloud<pcl::PointXYZ>& points);

// The squared distance between two points as the search measures it.
inline float squared_distance(const pcl::PointXYZ& a, const pcl::PointXYZ& b) {
  float sum = 0.0f;
  for (int k = 0; k < 3; ++k) {
    const float d = a.data[k] - b.data[k];
    sum += d * d;
  }
  return sum;
}

}  // namespace detail
}  // namespace caikongqu
