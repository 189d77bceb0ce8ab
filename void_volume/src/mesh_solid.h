#pragma once

// The reconstructed mesh made a closed solid for saving: coincident vertices welded, degenerate
// triangles dropped, every piece wound so that its normals point out of the void into the rock.

#include <pcl/Vertices.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mesh_volume.h"

namespace caikongqu {
namespace detail {

// Border vertices (on an edge of one triangle) closer than this share of the mesh's median edge
// that no edge joins are one vertex: the reconstruction leaves copies of one surface point a few
// ten-thousandths of an edge apart where two cells computed it, with a slit between them.
constexpr double kWeldShare = 1e-3;
// Vertices closer than this share of the median edge are one vertex: the reconstruction leaves
// corners a float's rounding apart where the surface passes a grid corner. Collapsing longer edges
// moves the surface enough to change the volume in its sixth decimal (2.7e-6 m3 of the
// million-point stope's 3842 at a thousandth).
constexpr double kCollapseShare = 1e-4;

// Holes of at most this many edges are covered: the reconstruction leaves out the odd triangle
// ("Vertex pair not in list"), a hole of three edges a fraction of an edge across.
constexpr size_t kMaxHoleEdges = 6;

// A mesh ready to be saved as a solid.
struct SolidMesh {
  // The reconstruction's vertices the solid uses, as indices into its vertex list, ascending:
  // the vertices to save, in this order. Empty when no triangle is left.
  std::vector<int32_t> vertices;
  // Triangles as positions in `vertices`. Each closed piece is wound so that its signed volume
  // is positive (normals out of the enclosed void); an open piece keeps the reconstruction's
  // triangles and winding.
  std::vector<Triangle> triangles;
  // Distance within which vertices no edge joins were merged, in the vertices' unit; 0 for no
  // triangle.
  double weld_tolerance = 0.0;
  // Vertices merged into an earlier one.
  size_t welded = 0;
  // Triangles dropped because two of their corners became one vertex.
  size_t degenerate = 0;
  // Triangles added to cover holes of at most kMaxHoleEdges edges.
  size_t filled = 0;
  // Edge-connected pieces after welding; turned: those whose winding was reversed.
  size_t pieces = 0;
  size_t turned = 0;
  // Pieces that are still not a closed, consistently wound 2-manifold after welding (an edge of
  // one triangle, of three or more, or two triangles running an edge the same way): saved as the
  // reconstruction gave them, unwelded, with their degenerate triangles.
  size_t open = 0;
  // 1 for each saved vertex (as `vertices`) of a window, where the reconstruction bridged missing
  // data; empty when the surface has no window. Not set by make_solid.
  std::vector<uint8_t> guessed;
};

// Fans every polygon of three or more vertices around its first vertex; merges the vertices
// within kCollapseShare of the median edge length of each other, and the border vertices within
// kWeldShare of it that no edge joins (each group into its earliest vertex, at that vertex's
// position); drops triangles with two corners in one vertex; covers holes of at most
// kMaxHoleEdges edges with a fan; splits the rest into edge-connected pieces and reverses every
// closed piece whose signed volume is negative. Pieces that are not closed and consistently wound
// after that are kept as reconstructed. Every index of `polygons` must lie within `vertices` and
// the used vertices must be finite (as measure_mesh checks). Time O(V log V + T log T), memory
// at its peak about 35 bytes a vertex and 110 bytes a triangle (15 MB for the million-point
// stope's 140,000 triangles), in a few arrays allocated once; throws only std::bad_alloc.
SolidMesh make_solid(const pcl::PointCloud<pcl::PointXYZ>& vertices,
                     const std::vector<pcl::Vertices>& polygons);

}  // namespace detail
}  // namespace caikongqu
