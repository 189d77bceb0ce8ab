#pragma once

// Writing the reconstructed solid as PLY, OBJ, STL or DXF.

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <string>

#include "cloud_files.h"
#include "mesh_solid.h"
#include "safe_output/output_file.h"
#include "void_volume/volume_analyzer.h"

namespace caikongqu {
namespace detail {

// The file name ending of `format`, without the dot: "ply", "obj", "stl" or "dxf".
std::string mesh_extension(MeshFormat format);

// `base_name` as a DXF layer name (also the OBJ object's and the STL header's): letters, digits,
// '_', '-' and '$' kept, every other byte '_', at most 31 bytes; "0" (the default layer) for an
// empty name.
std::string layer_name(const std::string& base_name);

// A single-precision coordinate step at a cloud's site coordinates coarser than this share of
// its point spacing deforms an STL mesh visibly; the other formats keep the input's precision.
constexpr double kMaxStlStepShare = 0.01;

// "" unless the mesh of `points` (in `frame`, whose float64 origin moves them back to site
// coordinates) would be saved as STL with a float step at its largest coordinate above
// kMaxStlStepShare of `spacing`; then the refusal naming the coordinate, its step and the formats
// that keep it. Points stored as 4-byte floats always pass: STL keeps them as they are.
std::string check_stl_precision(const pcl::PointCloud<pcl::PointXYZ>& points,
                                const LocalFrame& frame, double spacing);

// Writes the triangles of `solid` (whose vertices index `vertices`) through `out`, named `name`
// inside the file where the format has a place for it:
//  - kPly: binary little-endian PLY, float x y z (double with a `frame` read from 8-byte floats),
//    faces as lists of three int indices counted in one byte;
//  - kObj: text, "v x y z" per vertex and "f a b c" (1-based) per triangle, object `name`;
//  - kStl: binary STL, the facet normals computed from the corners, 4-byte floats only;
//  - kDxf: DXF R12 text, one 3DFACE per triangle (fourth corner = third) on layer `name`.
// The text formats write the shortest decimal that reads back as the same double: the stored
// float's exact value, or with a float64 `frame` the vertex moved back by its origin. Every
// triangle keeps its winding. Returns the system's text for a failed write, or "". `out` must be
// open; committing it is the caller's. Throws only std::bad_alloc.
std::string write_mesh(safe_output::OutputFile& out, MeshFormat format,
                       const pcl::PointCloud<pcl::PointXYZ>& vertices, const SolidMesh& solid,
                       const LocalFrame& frame, const std::string& name);

}  // namespace detail
}  // namespace caikongqu
