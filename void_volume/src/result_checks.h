#pragma once

// The checks on the result: how much of the reconstructed surface no point supports, whether
// its volume fits in the points' hull, and which pieces are too thin to be a void.

#include <pcl/Vertices.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <cstdint>
#include <string>
#include <vector>

namespace caikongqu {
namespace detail {

// The surface farther than this many local spacings (Strays::spacing of the nearest point) from
// every point is unscanned: no point was measured there, the reconstruction made it up.
constexpr double kUnscannedRadii = 2.0;

// Above this share of unscanned surface the volume is refused: too much of it is guessed.
constexpr double kMaxUnscannedShare = 0.04;

// How much of a reconstructed surface no point supports.
struct Unscanned {
  // Unscanned share (0 to 1) of the surface's area; 0 for a mesh without area.
  double share = 0.0;
  // The surface's whole area, in the square of the cloud's unit.
  double area = 0.0;
  // The largest connected patch of unscanned triangles (joined by a shared vertex): its area
  // and the area-weighted centre of its triangles, in the vertices' coordinates.
  double patch_area = 0.0;
  Eigen::Vector3d patch_centre = Eigen::Vector3d::Zero();
  // 1 for each unscanned triangle of the polygons' fans, in order, and each triangle's distance
  // from its centroid to the nearest point; empty for a mesh without area.
  std::vector<uint8_t> triangles;
  std::vector<float> gap;
};

// Measures the mesh (`vertices`, `polygons` fanned into triangles) against `points` and their
// local `spacing` (one per point): a triangle is unscanned when its centroid lies farther than
// kUnscannedRadii times the spacing of the nearest point from it, unless it lies in a gap of the
// scan's own pattern, between sample lines (keep_pattern_gaps). Indices must have been
// checked. Throws only std::bad_alloc.
Unscanned measure_unscanned(const pcl::PointCloud<pcl::PointXYZ>& points,
                            const std::vector<float>& spacing,
                            const pcl::PointCloud<pcl::PointXYZ>& vertices,
                            const std::vector<pcl::Vertices>& polygons);

// "" when the share is at most kMaxUnscannedShare; otherwise the run's failure text, giving the
// share, the largest unscanned patch's area and where it lies.
std::string check_unscanned(const Unscanned& measured);

// A reconstructed volume this much larger than the convex hull of the points cannot enclose only
// what was scanned.
constexpr double kMaxVolumeOverHull = 1.25;

// Empty when `volume` is at most kMaxVolumeOverHull times `hull_volume`; otherwise the run's
// failure text, giving both volumes and the likely causes.
std::string check_against_hull(double volume, double hull_volume);

// A piece of the surface thinner than this many neighbour radii of the points (its thickness
// taken as 3 V / A, the radius of a ball, 1.5 times that of a long tube) and holding at most
// kMaxThinPieceShare of the largest piece's volume is no void the scan resolved: a drill hole's
// spike, scraps of sparse returns beyond a wall.
constexpr double kMinPieceThickness = 2.0;
constexpr double kMaxThinPieceShare = 0.01;

// Whether a piece of `volume` and `area` is thinner than kMinPieceThickness times `radius` and
// at most kMaxThinPieceShare of `largest`, the largest piece's volume: the judgement on a piece
// when the points it came from are not known (the points' clusters tell spikes otherwise).
bool thinner_than_sampling(double volume, double area, double radius, double largest);

}  // namespace detail
}  // namespace caikongqu
