#pragma once

// Reading the input cloud and writing the reconstructed cloud.

#include <pcl/PCLPointCloud2.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <string>
#include <vector>

#include "safe_output/output_file.h"

namespace caikongqu {
namespace detail {

// Where the points of a cloud read in double precision were moved to be computed in single
// precision, and back.
struct LocalFrame {
  // True when the file stored x, y or z as 8-byte floats; the outputs then carry 8-byte floats.
  bool float64 = false;
  // The point subtracted, in double precision, from every point read (and from the sensor
  // origin); zero for a file of 4-byte floats, whose points are taken as stored.
  Eigen::Vector3d origin = Eigen::Vector3d::Zero();
};

// Loads the PCD file at `path` into `cloud` (points, sensor origin and orientation), checking its
// header first; returns why the file was refused ("Failed to load PCD file: <path>", or that it
// has no float x, y, z fields), or "" when loaded. x, y and z may each be a 4-byte or an 8-byte
// float; when one is of 8 bytes, every point is moved in double precision by the middle of the
// finite points' bounding box (rounded to a whole unit; points far outside the range of the
// bulk of them, such as a stray at the coordinate origin, left out of that box) before it is
// rounded to single precision, and `frame` says so. Leaves `cloud` empty when refused. Throws only
// std::bad_alloc.
std::string load_cloud(const std::string& path, pcl::PointCloud<pcl::PointXYZ>& cloud,
                       LocalFrame& frame);

// The x, y, z of every point of `blob` into `cloud`; an empty blob leaves `cloud` empty (the
// library's conversion would take the address of a first point that is not there).
void to_xyz(const pcl::PCLPointCloud2& blob, pcl::PointCloud<pcl::PointXYZ>& cloud);

// Writes `vertices` as the point-cloud library's text PCD writer does at 8 significant digits,
// byte for byte (its header, then "x y z" per vertex, "nan" for NaN), but through `out`, so
// that every write is checked. Returns the system's text for a failed write, or "". `out` must
// be open; committing it is the caller's.
std::string write_ascii_pcd(safe_output::OutputFile& out,
                            const pcl::PointCloud<pcl::PointXYZ>& vertices);

// Writes `vertices`, moved back by `frame`'s origin, as a text PCD file of 8-byte float fields
// x y z, each value the shortest text that reads back as the same double. Returns the system's
// text for a failed write, or "". `out` must be open; committing it is the caller's.
std::string write_ascii_pcd_float64(safe_output::OutputFile& out,
                                    const pcl::PointCloud<pcl::PointXYZ>& vertices,
                                    const LocalFrame& frame);

}  // namespace detail
}  // namespace caikongqu
