#pragma once

// The volume of each edge-connected piece of a triangle mesh.

#include <pcl/Vertices.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace caikongqu {
namespace detail {

// The share of a piece's triangles that may lie on a border (an edge no other triangle has)
// while the piece still counts as closed.
constexpr double kMaxBorderShare = 0.05;

// Three vertex indices, in the triangle's winding.
using Triangle = std::array<int32_t, 3>;

// Each polygon of three or more vertices as a fan of triangles around its first vertex, in its
// winding, in polygon order; polygons of fewer vertices add nothing. Indices are not checked.
std::vector<Triangle> fan_triangles(const std::vector<pcl::Vertices>& polygons);

// Volumes of the pieces of one mesh.
struct MeshVolumes {
  // Enclosed volume per edge-connected piece, in the cube of the vertices' unit, never
  // negative; piece k is the k-th piece met when walking the triangles in order. Empty when the
  // mesh has no triangle.
  std::vector<double> component_volumes;
  // Surface area of each piece, in the square of the vertices' unit, in the same order.
  std::vector<double> component_areas;
  // Sum of component_volumes in their order; 0.0 when empty.
  double total_volume = 0.0;
  // Closed pieces: those of whose triangles at most kMaxBorderShare have an edge that no other
  // triangle shares.
  size_t closed_pieces = 0;
  // inside[k] is 1 when piece k lies inside another, larger piece (one of its vertices is
  // enclosed by that piece's surface): dust, a boom or clutter near the scanner, not a second
  // void. One entry per piece.
  std::vector<uint8_t> inside;
  // The piece of every triangle of the polygons' fans, in fan order.
  std::vector<int32_t> triangle_piece;
  // False when a polygon indexes outside `vertices` or a used vertex is not finite.
  bool success = false;
  // Why success is false; empty otherwise.
  std::string error_message;
};

// Fans every polygon of three or more vertices around its first vertex, keeping its winding
// (polygons of fewer vertices add nothing), joins triangles that share an edge into pieces
// (sharing a vertex only does not join them; all triangles on one edge are joined) and sums per
// piece the signed volumes of the tetrahedra spanned by the coordinate origin and each triangle,
// dropping the sign of each piece's sum. For a closed piece wound consistently, either way,
// that is its enclosed volume. A piece whose bounding box lies within that of a piece of larger
// volume is checked for lying inside it by the winding number of the larger piece around its
// first vertex (above one half: inside). Time O(T log T), memory O(T) for T triangles. Never throws
// except std::bad_alloc.
MeshVolumes measure_mesh(const pcl::PointCloud<pcl::PointXYZ>& vertices,
                         const std::vector<pcl::Vertices>& polygons);

}  // namespace detail
}  // namespace caikongqu
