#pragma once

// The normals of the points, estimated from their nearest neighbours and oriented consistently,
// cluster by cluster.

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "neighbour_search.h"

namespace caikongqu {
namespace detail {

// What the orientation of a cloud's normals did.
struct Orientation {
  // Spatially separate clusters of points: pieces of the nearest-neighbour graph.
  size_t clusters = 0;
  // Clusters whose normals were oriented by propagation instead of toward the sensor origin.
  size_t propagated_clusters = 0;
  // Normals turned around from the way the sensor origin had turned them.
  size_t flipped = 0;
  // Normals of points whose neighbourhood lies along a line, replaced by a wider one's.
  size_t replaced = 0;
  // The cluster of every point, in the points' order, numbered from 0: points joined along the
  // scanned surface share one, walls with rock between them do not. Empty when nothing was
  // oriented.
  std::vector<uint32_t> cluster;
};

// The least mean cosine between a cluster's propagated normals and the directions to the
// viewpoint, or the least net share of their flux through the cluster's surface, for which the
// propagated orientation is used.
constexpr double kDecisiveVote = 0.2;

// A link of the neighbour graph crosses a gap between two walls (rock or a narrow void), and
// carries no orientation, when the normals at its ends are within 30 degrees of parallel, either
// way (|cos| at least kGapParallel), the link runs within 45 degrees of both (|cos| at least
// kGapAlong)
constexpr double kGapParallel = 0.8660254037844386;
constexpr double kGapAlong = 0.7071067811865476;
// and it is at least this share of the distance to the farthest of the point's graph neighbours:
// shorter links join returns of one wall whose noise happens to lie along them.
constexpr double kGapReach = 0.5;

// The least net share of the flux of a cluster's normals through its own surface, |sum f| over
// sum |f| with f = (c - p) . n, for which it decides the cluster's sign when the sensor origin
// lies outside it: a closed surface's normals all agree (near 1), those of a strip of wall or a
// ring of a scan, with no inside of their own, do not.
constexpr double kClosedFlux = 0.6;

// The neighbourhood the normals are estimated from.
constexpr int kNormalNeighbours = 20;
// A point's nearest neighbours lie along a line when the middle eigenvalue of their scatter is
// below this share of the largest and the smallest below kThinShare of the middle.
constexpr double kLineShare = 0.5;
// A wider neighbourhood is a flat patch when its middle eigenvalue is at least kRoundShare of the
// largest (round) and its smallest below kThinShare of the middle (thin).
constexpr double kRoundShare = 0.25;
constexpr double kThinShare = 0.1;
// The angle (radians) beyond which the flat patch's normal replaces the estimated one.
constexpr double kLineTilt = 0.7853981633974483;
// The widest neighbourhood searched for a flat patch.
constexpr int kMaxLineNeighbours = 80;

// Above this share of a cluster's normals on which the propagated orientation and the sensor
// origin disagree, the propagated one is used. A void scanned from inside, every wall visible,
// stays far below it (grazing views along rough walls and stray points inside the void disagree
// on under 0.4 % of the normals), so its normals, and everything computed from them, stay
// exactly as the sensor origin turns them; a wall facing away from the origin is a tenth of the
// surface or more, an origin outside the void a third to a half.
constexpr double kMaxViewpointDisagreement = 0.03;

// The normal of every point of `points` from the plane fitted to its row of `rows` (the point and
// its nearest others, kNormalNeighbours in all), turned toward `viewpoint`: the point-cloud
// library's estimation to the bit, on neighbours searched once for every step. NaN where a row
// names fewer than three points, or when `rows` does not fit `points`. Threaded; each normal
// depends only on its row.
pcl::PointCloud<pcl::Normal> estimate_normals(const pcl::PointCloud<pcl::PointXYZ>& points,
                                              const NeighbourRows& rows,
                                              const Eigen::Vector3f& viewpoint);

// Makes the normals of each spatially separate cluster of `points` consistent. `normals` come
// in turned toward `viewpoint` (the sensor origin), one per point; `rows` lists each point's
// nearest neighbours and `search` finds wider neighbourhoods. Builds the graph of the 10 nearest
// neighbours of every point, less the links that cross a gap between two walls (kGapParallel,
// kGapAlong), and walks each of its pieces along a minimum spanning tree over the weights
// 1 - |n_i . n_j| (Prim, ties broken by point index), turning every normal to agree with the one
// it was reached from. The overall sign of a cluster points its normals toward the viewpoint when
// it lies inside the cluster's bounding box; else, since a viewpoint outside a cluster says
// nothing of its inside, it makes the flux of the normals through the cluster's own surface point
// inward: into the void, for its walls, whatever their shape.
// Where the result disagrees with the viewpoint on at most kMaxViewpointDisagreement of a
// cluster's normals, or the vote for the cluster's sign is not decisive (kDecisiveVote), that
// cluster keeps its normals as the viewpoint turned them. Before the walk, a point whose nearest
// neighbours are drawn out along a line (a scanner's ring) takes the normal of the smallest wider
// neighbourhood that is a flat patch, where the two differ by more than kLineTilt. Non-finite
// normals take part in nothing and are never changed. Deterministic whatever the number of threads.
// Leaves the normals as they are when `rows` does not fit `points`. Time O(n log n) besides the
// wider searches, memory about 120 bytes a point. Never throws except std::bad_alloc.
Orientation orient_normals(const pcl::PointCloud<pcl::PointXYZ>& points,
                           const NeighbourSearch& search, const NeighbourRows& rows,
                           const Eigen::Vector3f& viewpoint, pcl::PointCloud<pcl::Normal>& normals);

}  // namespace detail
}  // namespace caikongqu
