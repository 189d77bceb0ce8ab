#include "cloud_files.h"

#include <pcl/PCLPointCloud2.h>
#include <pcl/conversions.h>
#include <pcl/io/pcd_io.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <new>

#include "pcd_header/pcd_header.h"

namespace caikongqu {
namespace detail {

namespace {

// fromPCLPointCloud2 quietly leaves a coordinate at 0 when its field is missing or not a single
// float, which would turn a foreign file into a cloud of points at the origin.
bool has_float_xyz(const std::vector<pcl::PCLPointField>& fields) {
  for (const char* name : {"x", "y", "z"}) {
    bool found = false;
    for (const auto& field : fields) {
      if (field.name == name && field.datatype == pcl::PCLPointField::FLOAT32 && field.count <= 1) {
        found = true;
      }
    }
    if (!found) return false;
  }
  return true;
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
std::string load_cloud(const std::string& path, pcl::PointCloud<pcl::PointXYZ>& cloud) {
  std::string not_loaded = "Failed to load PCD file: " + path;
  const pcd_header::PcdHeader header = pcd_header::read(path);
  if (header.reason == pcd_header::kNotRegularFile) return not_loaded + " (not a regular file)";
  if (!header.ok) return not_loaded;
  const pcd_header::TextFault fault = pcd_header::check_text_values(path, header);
  if (fault.line != 0) {
    return not_loaded + " (line " + std::to_string(fault.line) + ": \"" + fault.word +
           "\" is not a number)";
  }
  if (!has_float_xyz(header.fields)) return "PCD file has no float x, y, z fields: " + path;
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
  to_xyz(blob, cloud);
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

}  // namespace

std::string write_ascii_pcd(safe_output::OutputFile& out,
                            const pcl::PointCloud<pcl::PointXYZ>& vertices) {
  std::string text = pcl::PCDWriter::generateHeader(vertices) + "DATA ascii\n";
  constexpr size_t kFlushAt = 1 << 16;
  char line[128];
  for (const pcl::PointXYZ& v : vertices) {
    char* const end = line + sizeof(line);
    char* p = put_coordinate(line, end, v.x);
    *p++ = ' ';
    p = put_coordinate(p, end, v.y);
    *p++ = ' ';
    p = put_coordinate(p, end, v.z);
    *p++ = '\n';
    text.append(line, p);
    if (text.size() >= kFlushAt) {
      std::string error = out.write(text.data(), text.size());
      if (!error.empty()) return error;
      text.clear();
    }
  }
  return out.write(text.data(), text.size());
}

std::string write_binary_ply(safe_output::OutputFile& out,
                             const pcl::PointCloud<pcl::PointXYZ>& vertices,
                             const std::vector<pcl::Vertices>& polygons) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the PLY data is written as stored");
  for (size_t p = 0; p < polygons.size(); ++p) {
    if (polygons[p].vertices.size() > 255) {
      return "polygon " + std::to_string(p) + " has more than 255 vertices";
    }
  }
  std::string data =
      "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(vertices.size()) +
      "\nproperty float x\nproperty float y\nproperty float z\nelement face " +
      std::to_string(polygons.size()) + "\nproperty list uchar int vertex_indices\nend_header\n";
  constexpr size_t kFlushAt = 1 << 16;
  auto flush_full = [&out, &data]() -> std::string {
    if (data.size() < kFlushAt) return {};
    std::string error = out.write(data.data(), data.size());
    data.clear();
    return error;
  };
  for (const pcl::PointXYZ& v : vertices) {
    const float xyz[3] = {v.x, v.y, v.z};
    data.append(reinterpret_cast<const char*>(xyz), sizeof xyz);
    std::string error = flush_full();
    if (!error.empty()) return error;
  }
  for (const pcl::Vertices& polygon : polygons) {
    data.push_back(static_cast<char>(polygon.vertices.size()));
    for (const auto index : polygon.vertices) {
      const int32_t i = static_cast<int32_t>(index);
      data.append(reinterpret_cast<const char*>(&i), sizeof i);
    }
    std::string error = flush_full();
    if (!error.empty()) return error;
  }
  return out.write(data.data(), data.size());
}

}  // namespace detail
}  // namespace caikongqu
