#pragma once

// Reading the input cloud and writing the reconstructed cloud and mesh.

#include <pcl/PCLPointCloud2.h>
#include <pcl/Vertices.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <string>
#include <vector>

#include "safe_output/output_file.h"

namespace caikongqu {
namespace detail {

// Loads the PCD file at `path` into `cloud` (points, sensor origin and orientation), checking its
// header first; returns why the file was refused ("Failed to load PCD file: <path>", or that it
// has no float x, y, z fields), or "" when loaded. Leaves `cloud` empty when refused. Throws
// only std::bad_alloc.
std::string load_cloud(const std::string& path, pcl::PointCloud<pcl::PointXYZ>& cloud);

// The x, y, z of every point of `blob` into `cloud`; an empty blob leaves `cloud` empty (the
// library's conversion would take the address of a first point that is not there).
void to_xyz(const pcl::PCLPointCloud2& blob, pcl::PointCloud<pcl::PointXYZ>& cloud);

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
