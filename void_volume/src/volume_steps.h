#pragma once

// The analyzer's own rules and geometry, kept apart from the point-cloud steps so that they can
// be run on hand-made input without a reconstruction.

#include <pcl/Vertices.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <string>
#include <vector>

#include "safe_output/output_file.h"

namespace caikongqu {
namespace detail {

// Volumes of the pieces of one mesh.
struct MeshVolumes {
  // Enclosed volume per edge-connected piece, in the cube of the vertices' unit, never
  // negative; piece k is the k-th piece met when walking the triangles in order. Empty when the
  // mesh has no triangle.
  std::vector<double> component_volumes;
  // Sum of component_volumes in their order; 0.0 when empty.
  double total_volume = 0.0;
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
// that is its enclosed volume. Time O(T log T), memory O(T) for T triangles. Never throws
// except std::bad_alloc.
MeshVolumes measure_mesh(const pcl::PointCloud<pcl::PointXYZ>& vertices,
                         const std::vector<pcl::Vertices>& polygons);

// The reconstruction depth actually used: 4 or less becomes 5, above 12 becomes 12. Deeper
// octrees cost time and memory steeply for no gain on drone scans; shallower ones lose the shape.
int clamp_depth(int requested);

// Where the reconstructed cloud of `input_pcd` goes: `output_dir` + "/" + the input's base name
// (after its last '/' or '\') with everything from its last '.' cut off + "_reconstructed.pcd".
// The separator is added even when `output_dir` is empty or already ends in one.
std::string reconstructed_path(const std::string& input_pcd, const std::string& output_dir);

// Loads the PCD file at `path` into `cloud` (points, sensor origin and orientation), checking its
// header first; returns why the file was refused ("Failed to load PCD file: <path>", or that it
// has no float x, y, z fields), or "" when loaded. Leaves `cloud` empty when refused. Throws
// only std::bad_alloc. Defined with the analyzer, which loads its input through it.
std::string load_cloud(const std::string& path, pcl::PointCloud<pcl::PointXYZ>& cloud);

// Writes `vertices` as the point-cloud library's text PCD writer does at 8 significant digits,
// byte for byte (its header, then "x y z" per vertex, "nan" for NaN), but through `out`, so
// that every write is checked. Returns the system's text for a failed write, or "". `out` must
// be open; committing it is the caller's.
std::string write_ascii_pcd(safe_output::OutputFile& out,
                            const pcl::PointCloud<pcl::PointXYZ>& vertices);

}  // namespace detail
}  // namespace caikongqu
