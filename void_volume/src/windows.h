#pragma once

// Windows: where the reconstruction bridged missing data, the connected patches of unscanned
// surface, told to the user, marked in the saved mesh and judged by what they can hide.

#include <pcl/Vertices.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace caikongqu {
namespace detail {

// A patch of unscanned triangles is a window when it is at least this many of the cloud's median
// neighbour radii across and covers at least kMinWindowShare of the surface: smaller patches are
// the reconstruction rounding a corner or a gap of the scan's pattern.
constexpr double kMinWindowRadii = 4.0;
constexpr double kMinWindowShare = 0.001;

// The walls round a window's rim that are looked at: the triangles within this many rings of it
// whose centroid lies within kOnWallRadii of the cloud's median neighbour radius from a point.
// Farther triangles, though scanned, are still the reconstruction's bridge.
constexpr int kRimRings = 6;
constexpr double kOnWallRadii = 0.5;
// Two walls lie in parallel planes when their normals lie within 45 degrees (the cosine) of one
// line, either way: the floor under a slot and the ledge's underside above it, the floor and roof
// of a drive whose mouth the window closes.
constexpr double kFoldCosine = 0.7071067811865476;
// Parallel walls are set apart across the window when their planes lie at least this share of
// the window's width apart: facing each other as the floor and roof of a channel, or stepped as
// the floor and a ledge's underside reconstructed as seen from its back. A wall rough by
// centimetres round a window metres wide stays one plane.
constexpr double kApartWidths = 0.5;
// A window closes off a recess when at least this share of the walls round its rim lies in
// parallel planes set apart across it: walls on opposite sides of the rim run on beyond it side
// by side, a channel of unknown depth. An open brow in a wall that runs on flat across it has
// one plane round it, and a strip missed along a corner two walls at right angles, which meet
// behind the window within its width.
constexpr double kMinApartShare = 0.05;

// At most this many windows are told, the largest first.
constexpr size_t kMaxWindowsTold = 8;

// One window of the reconstructed surface.
struct Window {
  // Its area, in the square of the cloud's unit.
  double area = 0.0;
  // Its width across: twice the largest distance from one of its triangles to the nearest point,
  // the widest empty disc it holds, in the cloud's unit.
  double width = 0.0;
  // The area-weighted centre of its triangles, in the vertices' coordinates.
  Eigen::Vector3d centre = Eigen::Vector3d::Zero();
  // Share (0 to 1) of the walls round its rim that lie in parallel planes set apart across it
  // (along the walls' main normal directions, the lesser of the area in the middle plane and
  // the area kApartWidths of its width or more off it); 0 when no wall lies round it.
  double apart = 0.0;
  // Whether it closes off a recess (apart at least kMinApartShare).
  bool recess = false;
};

// The windows of a reconstructed surface.
struct Windows {
  // Every window, the largest first.
  std::vector<Window> found;
  // 1 for a vertex of a window's triangle, 0 for the others; empty when there is no window.
  std::vector<uint8_t> guessed;
};

// Finds the windows of the mesh (`vertices`, `polygons` fanned into triangles) among its
// triangles flagged in `unscanned` (one entry a fanned triangle, in order), whose distance from
// their centroid to the nearest point `gap` holds; `radius` is the cloud's median neighbour
// radius, `area` the surface's whole area. Unscanned triangles that share a vertex belong to one
// patch. Indices must have been checked. Time O(V + T) with a union-find; throws only
// std::bad_alloc.
Windows find_windows(const pcl::PointCloud<pcl::PointXYZ>& vertices,
                     const std::vector<pcl::Vertices>& polygons,
                     const std::vector<uint8_t>& unscanned, const std::vector<float>& gap,
                     double radius, double area);

// "" when no window closes off a recess; otherwise the run's failure text naming the largest
// such window: its area, width and centre (`origin` added, the cloud's own coordinates).
std::string check_windows(const std::vector<Window>& windows, const Eigen::Vector3d& origin);

}  // namespace detail
}  // namespace caikongqu
