#include "mesh_volume.h"

#include <Eigen/Core>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace caikongqu {
namespace detail {

namespace {

// One side of one triangle: the undirected edge as (smaller vertex, larger vertex) packed so
// that integer order is the lexicographic order of the pair, and the triangle that has it.
struct EdgeUse {
  uint64_t key;
  int32_t triangle;
  bool operator<(const EdgeUse& o) const {
    return key != o.key ? key < o.key : triangle < o.triangle;
  }
};

uint64_t edge_key(int32_t a, int32_t b) {
  const auto lo = static_cast<uint64_t>(std::min(a, b));
  const auto hi = static_cast<uint64_t>(std::max(a, b));
  return (lo << 32) | hi;
}

// Triangle neighbours in compressed rows: the neighbours of t are
// targets[offsets[t]] .. targets[offsets[t + 1] - 1].
struct Adjacency {
  std::vector<int64_t> offsets;
  std::vector<int32_t> targets;
};

// The three edges of every triangle, sorted by edge so that the uses of one edge are adjacent.
std::vector<EdgeUse> sorted_edge_uses(const std::vector<Triangle>& triangles) {
  std::vector<EdgeUse> uses;
  uses.reserve(3 * triangles.size());
  for (size_t i = 0; i < triangles.size(); ++i) {
    const Triangle& t = triangles[i];
    const auto id = static_cast<int32_t>(i);
    uses.push_back({edge_key(t[0], t[1]), id});
    uses.push_back({edge_key(t[1], t[2]), id});
    uses.push_back({edge_key(t[2], t[0]), id});
  }
  std::sort(uses.begin(), uses.end());
  return uses;
}

// Links the triangles that share an edge. The triangles on one edge are chained one to the next
// rather than linked pairwise: the pieces come out the same, and an edge that many degenerate
// triangles share cannot make the lists grow quadratically.
Adjacency build_adjacency(const std::vector<Triangle>& triangles) {
  const size_t count = triangles.size();
  const std::vector<EdgeUse> uses = sorted_edge_uses(triangles);

  Adjacency adj;
  adj.offsets.assign(count + 1, 0);
  // A link joins two consecutive uses of one edge by different triangles.
  auto for_each_link = [&uses](auto&& link) {
    for (size_t j = 1; j < uses.size(); ++j) {
      if (uses[j].key == uses[j - 1].key && uses[j].triangle != uses[j - 1].triangle) {
        link(uses[j - 1].triangle, uses[j].triangle);
      }
    }
  };
  for_each_link([&adj](int32_t a, int32_t b) {
    ++adj.offsets[a + 1];
    ++adj.offsets[b + 1];
  });
  for (size_t t = 0; t < count; ++t) adj.offsets[t + 1] += adj.offsets[t];
  adj.targets.resize(static_cast<size_t>(adj.offsets[count]));
  std::vector<int64_t> fill(adj.offsets.begin(), adj.offsets.end() - 1);
  for_each_link([&adj, &fill](int32_t a, int32_t b) {
    adj.targets[fill[a]++] = b;
    adj.targets[fill[b]++] = a;
  });
  return adj;
}

// Marks the triangles with an edge that no other triangle has: the border of an open piece.
std::vector<uint8_t> border_triangles(const std::vector<Triangle>& triangles) {
  const std::vector<EdgeUse> uses = sorted_edge_uses(triangles);
  std::vector<uint8_t> border(triangles.size(), 0);
  for (size_t j = 0; j < uses.size();) {
    size_t end = j + 1;
    while (end < uses.size() && uses[end].key == uses[j].key) ++end;
    if (end - j == 1) border[static_cast<size_t>(uses[j].triangle)] = 1;
    j = end;
  }
  return border;
}

// Breadth-first labelling in triangle order, so that piece numbers follow the smallest triangle
// index of each piece. Returns the number of pieces.
int32_t label_components(const Adjacency& adj, std::vector<int32_t>& labels) {
  const size_t count = labels.size();
  std::fill(labels.begin(), labels.end(), -1);
  std::vector<int32_t> queue;
  queue.reserve(count);
  int32_t next = 0;
  for (size_t start = 0; start < count; ++start) {
    if (labels[start] != -1) continue;
    queue.clear();
    labels[start] = next;
    queue.push_back(static_cast<int32_t>(start));
    for (size_t head = 0; head < queue.size(); ++head) {
      const int32_t t = queue[head];
      for (int64_t k = adj.offsets[t]; k < adj.offsets[t + 1]; ++k) {
        const int32_t w = adj.targets[static_cast<size_t>(k)];
        if (labels[w] == -1) {
          labels[w] = next;
          queue.push_back(w);
        }
      }
    }
    ++next;
  }
  return next;
}

// The winding number of the triangles of `piece` (their indices into `triangles`) around `p`:
// the solid angle they span seen from p over 4 pi, signed by their winding. About +-1 inside a
// closed piece, 0 outside.
double winding_number(const pcl::PointCloud<pcl::PointXYZ>& vertices,
                      const std::vector<Triangle>& triangles, const std::vector<int32_t>& piece,
                      const Eigen::Vector3d& p) {
  double sum = 0.0;
  for (const int32_t t : piece) {
    const Triangle& tri = triangles[static_cast<size_t>(t)];
    const Eigen::Vector3d a =
        vertices[static_cast<size_t>(tri[0])].getVector3fMap().cast<double>() - p;
    const Eigen::Vector3d b =
        vertices[static_cast<size_t>(tri[1])].getVector3fMap().cast<double>() - p;
    const Eigen::Vector3d c =
        vertices[static_cast<size_t>(tri[2])].getVector3fMap().cast<double>() - p;
    const double la = a.norm(), lb = b.norm(), lc = c.norm();
    const double numerator = a.dot(b.cross(c));
    const double denominator = la * lb * lc + a.dot(b) * lc + b.dot(c) * la + c.dot(a) * lb;
    sum += 2.0 * std::atan2(numerator, denominator);
  }
  return sum / (4.0 * std::acos(-1.0));
}

// Marks the pieces that lie inside another piece of larger volume.
std::vector<uint8_t> nested_pieces(const pcl::PointCloud<pcl::PointXYZ>& vertices,
                                   const std::vector<Triangle>& triangles,
                                   const std::vector<int32_t>& labels,
                                   const std::vector<double>& volumes) {
  const size_t pieces = volumes.size();
  std::vector<uint8_t> inside(pieces, 0);
  if (pieces < 2) return inside;
  // Bounding boxes and the first vertex of every piece.
  std::vector<Eigen::Vector3d> low(pieces, Eigen::Vector3d::Constant(HUGE_VAL));
  std::vector<Eigen::Vector3d> high(pieces, Eigen::Vector3d::Constant(-HUGE_VAL));
  std::vector<int32_t> first(pieces, -1);
  for (size_t i = 0; i < triangles.size(); ++i) {
    const auto c = static_cast<size_t>(labels[i]);
    if (first[c] < 0) first[c] = triangles[i][0];
    for (const int32_t v : triangles[i]) {
      const Eigen::Vector3d q = vertices[static_cast<size_t>(v)].getVector3fMap().cast<double>();
      low[c] = low[c].cwiseMin(q);
      high[c] = high[c].cwiseMax(q);
    }
  }
  std::vector<std::vector<int32_t>> members;  // triangles of the pieces that may hold another
  for (size_t p = 0; p < pieces; ++p) {
    for (size_t q = 0; q < pieces && !inside[p]; ++q) {
      if (q == p || volumes[q] <= volumes[p]) continue;
      if ((low[p].array() < low[q].array()).any() || (high[p].array() > high[q].array()).any()) {
        continue;
      }
      if (members.empty()) {
        members.resize(pieces);
        for (size_t i = 0; i < triangles.size(); ++i) {
          members[static_cast<size_t>(labels[i])].push_back(static_cast<int32_t>(i));
        }
      }
      const Eigen::Vector3d at =
          vertices[static_cast<size_t>(first[p])].getVector3fMap().cast<double>();
      if (std::fabs(winding_number(vertices, triangles, members[q], at)) > 0.5) inside[p] = 1;
    }
  }
  return inside;
}

}  // namespace

namespace {

// Why the polygons cannot be measured: an index outside the vertices (a corrupt mesh must not be
// read out of bounds), or more triangles than 32-bit labels count; empty when they can.
std::string polygon_fault(size_t vertex_count, const std::vector<pcl::Vertices>& polygons) {
  uint64_t triangle_count = 0;
  for (size_t p = 0; p < polygons.size(); ++p) {
    for (const auto v : polygons[p].vertices) {
      if (v < 0 || static_cast<uint64_t>(v) >= vertex_count) {
        return "Mesh polygon " + std::to_string(p) + " refers to vertex " + std::to_string(v) +
               " but the mesh has " + std::to_string(vertex_count) + " vertices";
      }
    }
    if (polygons[p].vertices.size() >= 3) triangle_count += polygons[p].vertices.size() - 2;
  }
  if (triangle_count > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
    return "Mesh has too many triangles: " + std::to_string(triangle_count);
  }
  return "";
}

// The first vertex of a triangle with a non-finite coordinate, as a fault; empty when none.
std::string vertex_fault(const pcl::PointCloud<pcl::PointXYZ>& vertices,
                         const std::vector<Triangle>& triangles) {
  for (const Triangle& t : triangles) {
    for (const int32_t v : t) {
      const pcl::PointXYZ& p = vertices[static_cast<size_t>(v)];
      if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
        return "Mesh vertex " + std::to_string(v) + " has a non-finite coordinate";
      }
    }
  }
  return "";
}

// Each piece's area into `areas` and signed volume (the tetrahedra to the origin, in double
// precision, summed in triangle order) into `sums`.
void integrate(const pcl::PointCloud<pcl::PointXYZ>& vertices,
               const std::vector<Triangle>& triangles, const std::vector<int32_t>& labels,
               std::vector<double>& areas, std::vector<double>& sums) {
  for (size_t i = 0; i < triangles.size(); ++i) {
    const pcl::PointXYZ& a = vertices[static_cast<size_t>(triangles[i][0])];
    const pcl::PointXYZ& b = vertices[static_cast<size_t>(triangles[i][1])];
    const pcl::PointXYZ& c = vertices[static_cast<size_t>(triangles[i][2])];
    const Eigen::Vector3d pa = a.getVector3fMap().cast<double>();
    areas[static_cast<size_t>(labels[i])] +=
        0.5 * (b.getVector3fMap().cast<double>() - pa)
                  .cross(c.getVector3fMap().cast<double>() - pa)
                  .norm();
    const double x0 = a.x, y0 = a.y, z0 = a.z;
    const double x1 = b.x, y1 = b.y, z1 = b.z;
    const double x2 = c.x, y2 = c.y, z2 = c.z;
    const double cx = y1 * z2 - y2 * z1;
    const double cy = z1 * x2 - x1 * z2;
    const double cz = x1 * y2 - y1 * x2;
    sums[static_cast<size_t>(labels[i])] += ((x0 * cx + y0 * cy) + z0 * cz) / 6.0;
  }
}

// The pieces that count as closed. The reconstruction leaves the odd slit in a closed surface
// where it could not join two vertices; a piece counts as closed while such border triangles stay
// a small share of it.
size_t count_closed(const std::vector<Triangle>& triangles, const std::vector<int32_t>& labels,
                    int32_t pieces) {
  std::vector<size_t> border_count(static_cast<size_t>(pieces), 0);
  std::vector<size_t> triangle_count_of(static_cast<size_t>(pieces), 0);
  const std::vector<uint8_t> border = border_triangles(triangles);
  for (size_t i = 0; i < triangles.size(); ++i) {
    border_count[static_cast<size_t>(labels[i])] += border[i];
    ++triangle_count_of[static_cast<size_t>(labels[i])];
  }
  size_t closed = 0;
  for (size_t c = 0; c < border_count.size(); ++c) {
    if (static_cast<double>(border_count[c]) <=
        kMaxBorderShare * static_cast<double>(triangle_count_of[c])) {
      ++closed;
    }
  }
  return closed;
}

}  // namespace

std::vector<Triangle> fan_triangles(const std::vector<pcl::Vertices>& polygons) {
  std::vector<Triangle> triangles;
  triangles.reserve(polygons.size());
  for (const auto& polygon : polygons) {
    const auto& idx = polygon.vertices;
    for (size_t k = 2; k < idx.size(); ++k) {
      triangles.push_back({static_cast<int32_t>(idx[0]), static_cast<int32_t>(idx[k - 1]),
                           static_cast<int32_t>(idx[k])});
    }
  }
  return triangles;
}

MeshVolumes measure_mesh(const pcl::PointCloud<pcl::PointXYZ>& vertices,
                         const std::vector<pcl::Vertices>& polygons) {
  MeshVolumes out;
  out.error_message = polygon_fault(vertices.size(), polygons);
  if (!out.error_message.empty()) return out;
  const std::vector<Triangle> triangles = fan_triangles(polygons);
  if (triangles.empty()) {
    out.success = true;
    return out;
  }
  out.error_message = vertex_fault(vertices, triangles);
  if (!out.error_message.empty()) return out;

  std::vector<int32_t> labels(triangles.size());
  const int32_t pieces = label_components(build_adjacency(triangles), labels);
  std::vector<double> sums(static_cast<size_t>(pieces), 0.0);
  out.component_areas.assign(static_cast<size_t>(pieces), 0.0);
  integrate(vertices, triangles, labels, out.component_areas, sums);
  out.closed_pieces = count_closed(triangles, labels, pieces);
  // The sign says only which way a piece is wound, so it is dropped per piece, after summing.
  for (double& s : sums) s = std::fabs(s);
  out.inside = nested_pieces(vertices, triangles, labels, sums);
  out.component_volumes = std::move(sums);
  for (const double v : out.component_volumes) out.total_volume += v;
  out.triangle_piece = std::move(labels);
  out.success = true;
  return out;
}

}  // namespace detail
}  // namespace caikongqu
