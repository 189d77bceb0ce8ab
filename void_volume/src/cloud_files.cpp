#include "cloud_files.h"

#include <pcl/PCLPointCloud2.h>
#include <pcl/conversions.h>
#include <pcl/io/pcd_io.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "pcd_header/pcd_header.h"

namespace caikongqu {
namespace detail {

namespace {

// The x, y and z fields, each a single 4- or 8-byte float; null where one is missing or of
// another type (fromPCLPointCloud2 would quietly leave such a coordinate at 0 and turn a foreign
// file into a cloud of points at the origin).
std::array<const pcl::PCLPointField*, 3> xyz_fields(const std::vector<pcl::PCLPointField>& fields) {
  std::array<const pcl::PCLPointField*, 3> out{};
  const char* const names[3] = {"x", "y", "z"};
  for (int k = 0; k < 3; ++k) {
    for (const auto& field : fields) {
      if (field.name == names[k] && field.count <= 1 &&
          (field.datatype == pcl::PCLPointField::FLOAT32 ||
           field.datatype == pcl::PCLPointField::FLOAT64)) {
        out[static_cast<size_t>(k)] = &field;
      }
    }
  }
  return out;
}

// One coordinate of point `i` of `blob` in double precision.
double coordinate(const pcl::PCLPointCloud2& blob, const pcl::PCLPointField& field, size_t i) {
  const uint8_t* at = blob.data.data() + i * blob.point_step + field.offset;
  if (field.datatype == pcl::PCLPointField::FLOAT64) {
    double v = 0.0;
    std::memcpy(&v, at, sizeof v);
    return v;
  }
  float v = 0.0f;
  std::memcpy(&v, at, sizeof v);
  return v;
}

// The share of the finite points cut off at either end of each axis to find where the bulk of the
// cloud lies, and how far beyond that range, in multiples of it, a point still counts.
constexpr double kBulkTail = 0.001;
constexpr double kBulkMargin = 1.0;

// The range on each axis outside which a point lies far from the bulk of the finite points: the
// range between their kBulkTail and 1 - kBulkTail quantiles, widened by kBulkMargin times itself
// on either side. One stray return kilometres off (a point at the coordinate origin in a cloud
// of site coordinates) lies outside; the points of every void of the cloud lie within.
void bulk_range(const pcl::PCLPointCloud2& blob,
                const std::array<const pcl::PCLPointField*, 3>& xyz, size_t n, Eigen::Vector3d& low,
                Eigen::Vector3d& high) {
  std::vector<double> values;
  values.reserve(n);
  for (int k = 0; k < 3; ++k) {
    values.clear();
    for (size_t i = 0; i < n; ++i) {
      const double v = coordinate(blob, *xyz[static_cast<size_t>(k)], i);
      if (std::isfinite(v)) values.push_back(v);
    }
    if (values.empty()) return;
    // At least the one farthest point at either end, once there are three or more.
    const size_t tail = std::min(
        std::max<size_t>(1, static_cast<size_t>(kBulkTail * static_cast<double>(values.size()))),
        (values.size() - 1) / 2);
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(tail),
                     values.end());
    const double first = values[tail];
    const size_t last_at = values.size() - 1 - tail;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(last_at),
                     values.end());
    const double last = values[last_at];
    low[k] = first - kBulkMargin * (last - first);
    high[k] = last + kBulkMargin * (last - first);
  }
}

// The points of `blob` moved by the middle of the bounding box of their finite points within the
// bulk range (bulk_range), rounded to a whole unit, in double precision, then rounded to single
// precision.
void to_local_xyz(const pcl::PCLPointCloud2& blob,
                  const std::array<const pcl::PCLPointField*, 3>& xyz,
                  pcl::PointCloud<pcl::PointXYZ>& cloud, LocalFrame& frame) {
  const size_t n = static_cast<size_t>(blob.width) * blob.height;
  if (n == 0 || blob.data.size() < n * blob.point_step) return;
  Eigen::Vector3d bulk_low = Eigen::Vector3d::Constant(-HUGE_VAL);
  Eigen::Vector3d bulk_high = Eigen::Vector3d::Constant(HUGE_VAL);
  bulk_range(blob, xyz, n, bulk_low, bulk_high);
  Eigen::Vector3d low = Eigen::Vector3d::Constant(HUGE_VAL);
  Eigen::Vector3d high = Eigen::Vector3d::Constant(-HUGE_VAL);
  for (size_t i = 0; i < n; ++i) {
    const Eigen::Vector3d p(coordinate(blob, *xyz[0], i), coordinate(blob, *xyz[1], i),
                            coordinate(blob, *xyz[2], i));
    if (!p.allFinite()) continue;
    if ((p.array() < bulk_low.array()).any() || (p.array() > bulk_high.array()).any()) continue;
    low = low.cwiseMin(p);
    high = high.cwiseMax(p);
  }
  if (low.allFinite() && high.allFinite()) frame.origin = (0.5 * (low + high)).array().round();
  cloud.resize(n);
  cloud.width = blob.width;
  cloud.height = blob.height;
  for (size_t i = 0; i < n; ++i) {
    for (int k = 0; k < 3; ++k) {
      cloud[i].data[k] =
          static_cast<float>(coordinate(blob, *xyz[static_cast<size_t>(k)], i) - frame.origin[k]);
    }
  }
}

}  // namespace

// The x, y, z of every point of `blob`. An empty blob is left alone: the library's conversion
// takes the address of the first point even when there is none.
void to_xyz(const pcl::PCLPointCloud2& blob, pcl::PointCloud<pcl::PointXYZ>& cloud) {
  if (static_cast<uint64_t>(blob.width) * blob.height == 0) return;
  pcl::fromPCLPointCloud2(blob, cloud);
}

// Reads the file into `cloud` with its sensor origin and orientation; returns why it could not,
// or an empty text. The header is read and checked on its own first, since the reader would set
// aside and zero memory for as many points as a damaged header claims, and misreads or crashes on
// some headers (a file without a DATA line, an empty or foreign file, among them); a header
// refused there is a file that cannot be loaded, not a fault of the run.
std::string load_cloud(const std::string& path, pcl::PointCloud<pcl::PointXYZ>& cloud,
                       LocalFrame& frame) {
  frame = LocalFrame();
  std::string not_loaded = "Failed to load PCD file: " + path;
  pcd_header::TextFault fault;
  const pcd_header::PcdHeader header = pcd_header::read(path, &fault);
  if (header.reason == pcd_header::kNotRegularFile) return not_loaded + " (not a regular file)";
  if (!header.ok) return not_loaded;
  if (fault.line != 0) {
    return not_loaded + " (line " + std::to_string(fault.line) + ": \"" + fault.word +
           "\" is not a number)";
  }
  const std::array<const pcl::PCLPointField*, 3> xyz = xyz_fields(header.fields);
  if (!xyz[0] || !xyz[1] || !xyz[2]) return "PCD file has no float x, y, z fields: " + path;
  for (const pcl::PCLPointField* field : xyz) {
    if (field->datatype == pcl::PCLPointField::FLOAT64) frame.float64 = true;
  }
  // The library's reader opens the file by name again: it takes only a path (and maps binary
  // data from it), and its stream-level pieces would have this code redo its read's steps.
  pcl::PCDReader reader;
  pcl::PCLPointCloud2 blob;
  int pcd_version = 0;
  int status = -1;
  try {
    status =
        reader.read(path, blob, cloud.sensor_origin_, cloud.sensor_orientation_, pcd_version, 0);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    return not_loaded;
  }
  if (status < 0) return not_loaded;
  if (!frame.float64) {
    to_xyz(blob, cloud);
    return {};
  }
  // The fields as the library read them: the header read here and the library's agree on
  // names and types, the offsets are the library's.
  const std::array<const pcl::PCLPointField*, 3> read = xyz_fields(blob.fields);
  if (!read[0] || !read[1] || !read[2]) return not_loaded;
  for (const pcl::PCLPointField* field : read) {
    const uint64_t size = field->datatype == pcl::PCLPointField::FLOAT64 ? 8 : 4;
    if (uint64_t{field->offset} + size > blob.point_step) return not_loaded;
  }
  to_local_xyz(blob, read, cloud, frame);
  cloud.sensor_origin_.head<3>() -= frame.origin.cast<float>();
  return {};
}

namespace {

// One coordinate as the library's text writer puts it: "nan", or the shortest of fixed and
// exponent notation with 8 significant digits (printf's %.8g), whatever the locale.
char* put_coordinate(char* p, char* end, float value) {
  if (std::isnan(value)) {
    for (const char c : {'n', 'a', 'n'}) *p++ = c;
    return p;
  }
  return std::to_chars(p, end, value, std::chars_format::general, 8).ptr;
}

// Writes `text` (the header) and then one line a vertex, `put_line(line, end, vertex)` filling
// `line` and returning the end of what it wrote, through a 64 KiB buffer.
template <class PutLine>
std::string write_lines(safe_output::OutputFile& out, std::string text,
                        const pcl::PointCloud<pcl::PointXYZ>& vertices, PutLine put_line) {
  constexpr size_t kFlushAt = 1 << 16;
  char line[128];
  for (const pcl::PointXYZ& v : vertices) {
    char* const p = put_line(line, line + sizeof(line), v);
    text.append(line, p);
    if (text.size() >= kFlushAt) {
      std::string error = out.write(text.data(), text.size());
      if (!error.empty()) return error;
      text.clear();
    }
  }
  return out.write(text.data(), text.size());
}

}  // namespace

std::string write_ascii_pcd(safe_output::OutputFile& out,
                            const pcl::PointCloud<pcl::PointXYZ>& vertices) {
  return write_lines(out, pcl::PCDWriter::generateHeader(vertices) + "DATA ascii\n", vertices,
                     [](char* line, char* end, const pcl::PointXYZ& v) {
                       char* p = put_coordinate(line, end, v.x);
                       *p++ = ' ';
                       p = put_coordinate(p, end, v.y);
                       *p++ = ' ';
                       p = put_coordinate(p, end, v.z);
                       *p++ = '\n';
                       return p;
                     });
}

std::string write_ascii_pcd_float64(safe_output::OutputFile& out,
                                    const pcl::PointCloud<pcl::PointXYZ>& vertices,
                                    const LocalFrame& frame) {
  const std::string count = std::to_string(vertices.size());
  return write_lines(
      out,
      "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS x y z\nSIZE 8 8 8\n"
      "TYPE F F F\nCOUNT 1 1 1\nWIDTH " +
          count + "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " + count + "\nDATA ascii\n",
      vertices, [&frame](char* line, char* end, const pcl::PointXYZ& v) {
        char* p = line;
        for (int k = 0; k < 3; ++k) {
          if (k > 0) *p++ = ' ';
          const double value = static_cast<double>(v.data[k]) + frame.origin[k];
          if (std::isnan(value)) {
            for (const char c : {'n', 'a', 'n'}) *p++ = c;
          } else {
            p = std::to_chars(p, end, value).ptr;
          }
        }
        *p++ = '\n';
        return p;
      });
}

}  // namespace detail
}  // namespace caikongqu
