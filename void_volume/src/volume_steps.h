#pragma once

// The analyzer's own rules and geometry, kept apart from the point-cloud steps so that they can
// be run on hand-made input without a reconstruction.

#include <pcl/Vertices.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <cstddef>

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

// What the orientation of a cloud's normals did.
struct Orientation {
  // Spatially separate clusters of points: pieces of the nearest-neighbour graph.
  size_t clusters = 0;
  // Clusters whose normals were oriented by propagation instead of toward the sensor origin.
  size_t propagated_clusters = 0;
  // Normals turned around from the way the sensor origin had turned them.
  size_t flipped = 0;
};

// Above this share of a cluster's normals on which the propagated orientation and the sensor
// origin disagree, the propagated one is used. A void scanned from inside, every wall visible,
// stays far below it (grazing views along rough walls and stray points inside the void disagree
// on under 0.4 % of the normals), so its normals, and everything computed from them, stay
// exactly as the sensor origin turns them; a wall facing away from the origin is a tenth of the
// surface or more, an origin outside the void a third to a half.
constexpr double kMaxViewpointDisagreement = 0.03;

// Makes the normals of each spatially separate cluster of `points` consistent. `normals` come
// in turned toward `viewpoint` (the sensor origin), one per point. Builds the graph of the
// 10 nearest neighbours of every point and walks
// each of its pieces along a minimum spanning tree over the weights 1 - |n_i . n_j| (Prim,
// ties broken by point index), turning every normal to agree with the one it was reached from.
// The overall sign of a cluster points its normals toward the viewpoint when it lies inside the
// cluster's bounding box, else toward the cluster's centroid: inward, for the walls of a void.
// Where the result disagrees with the viewpoint on at most kMaxViewpointDisagreement of a
// cluster's normals, that cluster keeps its normals untouched. Non-finite normals take part in
// nothing and are never changed. Deterministic whatever the number of threads. Time
// O(n log n) besides the neighbour search, memory about 100 bytes a point. Never throws except
// std::bad_alloc.
Orientation orient_normals(const pcl::PointCloud<pcl::PointXYZ>& points,
                           const Eigen::Vector3f& viewpoint, pcl::PointCloud<pcl::Normal>& normals);

// The reconstruction depth actually used: 4 or less becomes 5, above 12 becomes 12. Deeper
// octrees cost time and memory steeply for no gain on drone scans; shallower ones lose the shape.
int clamp_depth(int requested);

// Where the reconstructed cloud of `input_pcd` goes: `output_dir` + "/" + the input's base name
// (after its last '/' or '\') with everything from its last '.' cut off + "_reconstructed.pcd".
// The separator is added even when `output_dir` is empty or already ends in one.
std::string reconstructed_path(const std::string& input_pcd, const std::string& output_dir);

// Where the reconstructed mesh of `input_pcd` goes: as reconstructed_path, ending in "_mesh.ply".
std::string mesh_path(const std::string& input_pcd, const std::string& output_dir);

// A reconstructed volume this much larger than the convex hull of the points cannot enclose only
// what was scanned.
constexpr double kMaxVolumeOverHull = 1.25;

// Empty when `volume` is at most kMaxVolumeOverHull times `hull_volume`; otherwise the run's
// failure text, giving both volumes and the likely causes.
std::string check_against_hull(double volume, double hull_volume);

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

// Writes the mesh of `vertices` and `polygons` as a binary little-endian PLY file through `out`:
// the vertices as float x y z, each polygon as a list of int vertex indices counted in one byte.
// Returns the system's text for a failed write, a text naming a polygon of more than 255
// vertices, or "". `out` must be open; committing it is the caller's.
std::string write_binary_ply(safe_output::OutputFile& out,
                             const pcl::PointCloud<pcl::PointXYZ>& vertices,
                             const std::vector<pcl::Vertices>& polygons);

}  // namespace detail
}  // namespace caikongqu
