#include "mesh_files.h"

#include <Eigen/Core>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

#include "point_math.h"

namespace caikongqu {

bool parse_mesh_format(const std::string& name, MeshFormat& format) {
  std::string lower = name;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const std::array<std::pair<const char*, MeshFormat>, 4> known{{{"ply", MeshFormat::kPly},
                                                                 {"obj", MeshFormat::kObj},
                                                                 {"stl", MeshFormat::kStl},
                                                                 {"dxf", MeshFormat::kDxf}}};
  for (const auto& [text, value] : known) {
    if (lower == text) {
      format = value;
      return true;
    }
  }
  return false;
}

namespace detail {

std::string mesh_extension(MeshFormat format) {
  switch (format) {
    case MeshFormat::kObj:
      return "obj";
    case MeshFormat::kStl:
      return "stl";
    case MeshFormat::kDxf:
      return "dxf";
    case MeshFormat::kPly:
      break;
  }
  return "ply";
}

std::string check_stl_precision(const pcl::PointCloud<pcl::PointXYZ>& points,
                                const LocalFrame& frame, double spacing) {
  if (!frame.float64) return {};
  double largest = 0.0;
  int axis = 0;
  for (const pcl::PointXYZ& p : points) {
    for (int k = 0; k < 3; ++k) {
      const double site = static_cast<double>(p.data[k]) + frame.origin[k];
      if (std::fabs(site) > std::fabs(largest)) largest = site, axis = k;
    }
  }
  const auto magnitude = static_cast<float>(std::fabs(largest));
  const double step = static_cast<double>(std::nextafter(magnitude, HUGE_VALF)) - magnitude;
  if (!(step > kMaxStlStepShare * spacing)) return {};
  // Locale-free numbers: the task runs under the user's locale.
  return std::string(
             "STL keeps coordinates as 4-byte floats, too coarse for this cloud's site "
             "coordinates: ") +
         "xyz"[axis] + " = " + number_text(largest, std::chars_format::fixed, 2) +
         ", where a 4-byte float's step is " + number_text(step, std::chars_format::general, 3) +
         " (the points are " + number_text(spacing, std::chars_format::general, 3) +
         " apart); save the mesh as ply, obj or dxf, which keep 8-byte coordinates";
}

std::string layer_name(const std::string& base_name) {
  std::string name = base_name.substr(0, 31);
  for (char& c : name) {
    const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '-' || c == '$';
    if (!kept) c = '_';
  }
  return name.empty() ? "0" : name;
}

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "binary meshes are written as stored");

// Collects the file's bytes and hands them to the output 64 KiB at a time; after a failed write
// it takes nothing more and keeps the system's text.
class Sink {
 public:
  explicit Sink(safe_output::OutputFile& out) : out_(out) {}
  void put(const char* data, size_t size) {
    buffer_.append(data, size);
    if (buffer_.size() >= kFlushAt) flush();
  }
  void put(const std::string& text) { put(text.data(), text.size()); }
  template <class T>
  void put_bytes(const T& value) {
    put(reinterpret_cast<const char*>(&value), sizeof value);
  }
  std::string finish() {
    flush();
    return error_;
  }

 private:
  static constexpr size_t kFlushAt = 1 << 16;
  void flush() {
    if (error_.empty()) error_ = out_.write(buffer_.data(), buffer_.size());
    buffer_.clear();
  }
  safe_output::OutputFile& out_;
  std::string buffer_;
  std::string error_;
};

// The saved coordinates of the solid's vertices: the stored floats, or with a float64 frame the
// vertices moved back to where the file had them, in double precision.
class Coordinates {
 public:
  Coordinates(const pcl::PointCloud<pcl::PointXYZ>& vertices, const SolidMesh& solid,
              const LocalFrame& frame)
      : vertices_(vertices), solid_(solid), frame_(frame) {}
  size_t size() const { return solid_.vertices.size(); }
  bool float64() const { return frame_.float64; }
  // Coordinate `k` of saved vertex `i`.
  double at(int32_t i, int k) const {
    const float v = point(i).data[k];
    return frame_.float64 ? static_cast<double>(v) + frame_.origin[k] : static_cast<double>(v);
  }
  // The shortest text that reads back, in double precision, as the saved coordinate: a reader
  // of either precision gets the very vertex that was measured. Returns the end of the text.
  char* put(char* p, char* end, int32_t i, int k) const {
    return std::to_chars(p, end, at(i, k)).ptr;
  }
  // Saved vertex `i` in the frame the mesh was computed in, for directions.
  Eigen::Vector3d local(int32_t i) const { return point(i).getVector3fMap().cast<double>(); }

 private:
  const pcl::PointXYZ& point(int32_t i) const {
    return vertices_[static_cast<size_t>(solid_.vertices[static_cast<size_t>(i)])];
  }
  const pcl::PointCloud<pcl::PointXYZ>& vertices_;
  const SolidMesh& solid_;
  const LocalFrame& frame_;
};

// The colour of a saved vertex when the surface has windows: red where the reconstruction
// bridged missing data, light grey where points support it.
constexpr std::array<uint8_t, 3> kGuessedColour{255, 0, 0};
constexpr std::array<uint8_t, 3> kScannedColour{200, 200, 200};

const std::array<uint8_t, 3>& colour_of(const SolidMesh& solid, size_t i) {
  return solid.guessed[i] != 0 ? kGuessedColour : kScannedColour;
}

void write_ply(Sink& sink, const Coordinates& xyz, const SolidMesh& solid) {
  const bool coloured = !solid.guessed.empty();
  sink.put("ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(xyz.size()) +
           (xyz.float64() ? "\nproperty double x\nproperty double y\nproperty double z"
                          : "\nproperty float x\nproperty float y\nproperty float z") +
           (coloured ? "\nproperty uchar red\nproperty uchar green\nproperty uchar blue" : "") +
           "\nelement face " + std::to_string(solid.triangles.size()) +
           "\nproperty list uchar int vertex_indices\nend_header\n");
  for (size_t i = 0; i < xyz.size(); ++i) {
    for (int k = 0; k < 3; ++k) {
      const double v = xyz.at(static_cast<int32_t>(i), k);
      if (xyz.float64()) {
        sink.put_bytes(v);
      } else {
        sink.put_bytes(static_cast<float>(v));
      }
    }
    if (coloured) sink.put_bytes(colour_of(solid, i));
  }
  for (const auto& t : solid.triangles) {
    sink.put_bytes(uint8_t{3});
    sink.put_bytes(t);
  }
}

void write_obj(Sink& sink, const Coordinates& xyz, const SolidMesh& solid,
               const std::string& name) {
  sink.put(
      "# voidvol_node: closed solid of the void, triangles wound counter-clockwise seen "
      "from the rock\no " +
      name + "\n");
  char line[160];
  char* const end = line + sizeof line;
  for (size_t i = 0; i < xyz.size(); ++i) {
    char* p = line;
    *p++ = 'v';
    for (int k = 0; k < 3; ++k) {
      *p++ = ' ';
      p = xyz.put(p, end, static_cast<int32_t>(i), k);
    }
    // The vertex colours readers of OBJ take after the coordinates, from 0 to 1.
    if (!solid.guessed.empty()) {
      for (const uint8_t value : colour_of(solid, i)) {
        *p++ = ' ';
        p = std::to_chars(p, end, value / 255.0, std::chars_format::fixed, 3).ptr;
      }
    }
    *p++ = '\n';
    sink.put(line, static_cast<size_t>(p - line));
  }
  for (const auto& t : solid.triangles) {
    char* p = line;
    *p++ = 'f';
    for (const int32_t v : t) {
      *p++ = ' ';
      p = std::to_chars(p, end, int64_t{v} + 1).ptr;
    }
    *p++ = '\n';
    sink.put(line, static_cast<size_t>(p - line));
  }
}

void write_stl(Sink& sink, const Coordinates& xyz, const SolidMesh& solid,
               const std::string& name) {
  // The header must not begin with "solid", which marks a text STL file.
  char header[80] = {};
  const std::string text = "binary STL, voidvol_node void " + name;
  text.copy(header, sizeof header);
  sink.put(header, sizeof header);
  sink.put_bytes(static_cast<uint32_t>(solid.triangles.size()));
  for (const auto& t : solid.triangles) {
    const Eigen::Vector3d a = xyz.local(t[0]);
    const Eigen::Vector3d normal = (xyz.local(t[1]) - a).cross(xyz.local(t[2]) - a);
    const double length = normal.norm();
    std::array<float, 12> facet{};
    for (int k = 0; k < 3; ++k) {
      facet[static_cast<size_t>(k)] = length > 0.0 ? static_cast<float>(normal[k] / length) : 0.0f;
    }
    for (size_t c = 0; c < 3; ++c) {
      for (int k = 0; k < 3; ++k) {
        facet[3 + 3 * c + static_cast<size_t>(k)] = static_cast<float>(xyz.at(t[c], k));
      }
    }
    sink.put_bytes(facet);
    sink.put_bytes(uint16_t{0});
  }
}

void write_dxf(Sink& sink, const Coordinates& xyz, const SolidMesh& solid,
               const std::string& name) {
  sink.put(
      "0\nSECTION\n2\nHEADER\n9\n$ACADVER\n1\nAC1009\n0\nENDSEC\n"
      "0\nSECTION\n2\nTABLES\n"
      "0\nTABLE\n2\nLTYPE\n70\n1\n0\nLTYPE\n2\nCONTINUOUS\n70\n0\n3\nSolid line\n72\n65\n73\n0\n"
      "40\n0.0\n0\nENDTAB\n"
      "0\nTABLE\n2\nLAYER\n70\n1\n0\nLAYER\n2\n" +
      name +
      "\n70\n0\n62\n7\n6\nCONTINUOUS\n0\nENDTAB\n"
      "0\nENDSEC\n0\nSECTION\n2\nENTITIES\n");
  const std::string face = "0\n3DFACE\n8\n" + name + "\n";
  // A face with a corner in a window is drawn red (colour number 1), the others by layer.
  const std::string guessed_face = face + "62\n1\n";
  char corner[200];
  char* const end = corner + sizeof corner;
  for (const auto& t : solid.triangles) {
    const bool guessed = !solid.guessed.empty() && (solid.guessed[static_cast<size_t>(t[0])] != 0 ||
                                                    solid.guessed[static_cast<size_t>(t[1])] != 0 ||
                                                    solid.guessed[static_cast<size_t>(t[2])] != 0);
    sink.put(guessed ? guessed_face : face);
    for (int c = 0; c < 4; ++c) {
      const int32_t v = t[static_cast<size_t>(c < 3 ? c : 2)];
      char* p = corner;
      for (int k = 0; k < 3; ++k) {
        p = std::to_chars(p, end, 10 * (k + 1) + c).ptr;
        *p++ = '\n';
        p = xyz.put(p, end, v, k);
        *p++ = '\n';
      }
      sink.put(corner, static_cast<size_t>(p - corner));
    }
  }
  sink.put("0\nENDSEC\n0\nEOF\n");
}

}  // namespace

std::string write_mesh(safe_output::OutputFile& out, MeshFormat format,
                       const pcl::PointCloud<pcl::PointXYZ>& vertices, const SolidMesh& solid,
                       const LocalFrame& frame, const std::string& name) {
  Sink sink(out);
  const Coordinates xyz(vertices, solid, frame);
  switch (format) {
    case MeshFormat::kPly:
      write_ply(sink, xyz, solid);
      break;
    case MeshFormat::kObj:
      write_obj(sink, xyz, solid, name);
      break;
    case MeshFormat::kStl:
      write_stl(sink, xyz, solid, name);
      break;
    case MeshFormat::kDxf:
      write_dxf(sink, xyz, solid, name);
      break;
  }
  return sink.finish();
}

}  // namespace detail
}  // namespace caikongqu
