#include "volume_steps.h"

#include <flann/algorithms/dist.h>
#include <flann/algorithms/kdtree_single_index.h>
#include <flann/util/matrix.h>
#include <flann/util/params.h>
#include <pcl/io/pcd_io.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <utility>
#include <vector>

namespace caikongqu {
namespace detail {

namespace {

using Triangle = std::array<int32_t, 3>;

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

// Links the triangles that share an edge. The triangles on one edge are chained one to the next
// rather than linked pairwise: the pieces come out the same, and an edge that many degenerate
// triangles share cannot make the lists grow quadratically.
Adjacency build_adjacency(const std::vector<Triangle>& triangles) {
  const size_t count = triangles.size();
  std::vector<EdgeUse> uses;
  uses.reserve(3 * count);
  for (size_t i = 0; i < count; ++i) {
    const Triangle& t = triangles[i];
    const auto id = static_cast<int32_t>(i);
    uses.push_back({edge_key(t[0], t[1]), id});
    uses.push_back({edge_key(t[1], t[2]), id});
    uses.push_back({edge_key(t[2], t[0]), id});
  }
  std::sort(uses.begin(), uses.end());

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

}  // namespace

MeshVolumes measure_mesh(const pcl::PointCloud<pcl::PointXYZ>& vertices,
                         const std::vector<pcl::Vertices>& polygons) {
  MeshVolumes out;
  const size_t vertex_count = vertices.size();

  // Every index is checked before one is used: a corrupt mesh must not be read out of bounds.
  uint64_t triangle_count = 0;
  for (size_t p = 0; p < polygons.size(); ++p) {
    for (const auto v : polygons[p].vertices) {
      if (v < 0 || static_cast<uint64_t>(v) >= vertex_count) {
        out.error_message = "Mesh polygon " + std::to_string(p) + " refers to vertex " +
                            std::to_string(v) + " but the mesh has " +
                            std::to_string(vertex_count) + " vertices";
        return out;
      }
    }
    if (polygons[p].vertices.size() >= 3) triangle_count += polygons[p].vertices.size() - 2;
  }
  if (triangle_count > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
    out.error_message = "Mesh has too many triangles: " + std::to_string(triangle_count);
    return out;
  }

  std::vector<Triangle> triangles;
  triangles.reserve(polygons.size());
  for (const auto& polygon : polygons) {
    const auto& idx = polygon.vertices;
    for (size_t k = 2; k < idx.size(); ++k) {
      triangles.push_back({static_cast<int32_t>(idx[0]), static_cast<int32_t>(idx[k - 1]),
                           static_cast<int32_t>(idx[k])});
    }
  }
  if (triangles.empty()) {
    out.success = true;
    return out;
  }

  for (const Triangle& t : triangles) {
    for (const int32_t v : t) {
      const pcl::PointXYZ& p = vertices[static_cast<size_t>(v)];
      if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
        out.error_message = "Mesh vertex " + std::to_string(v) + " has a non-finite coordinate";
        return out;
      }
    }
  }

  std::vector<int32_t> labels(triangles.size());
  const int32_t pieces = label_components(build_adjacency(triangles), labels);

  std::vector<double> sums(static_cast<size_t>(pieces), 0.0);
  for (size_t i = 0; i < triangles.size(); ++i) {
    const pcl::PointXYZ& a = vertices[static_cast<size_t>(triangles[i][0])];
    const pcl::PointXYZ& b = vertices[static_cast<size_t>(triangles[i][1])];
    const pcl::PointXYZ& c = vertices[static_cast<size_t>(triangles[i][2])];
    const double x0 = a.x, y0 = a.y, z0 = a.z;
    const double x1 = b.x, y1 = b.y, z1 = b.z;
    const double x2 = c.x, y2 = c.y, z2 = c.z;
    const double cx = y1 * z2 - y2 * z1;
    const double cy = z1 * x2 - x1 * z2;
    const double cz = x1 * y2 - y1 * x2;
    sums[static_cast<size_t>(labels[i])] += ((x0 * cx + y0 * cy) + z0 * cz) / 6.0;
  }
  // The sign says only which way a piece is wound, so it is dropped per piece, after summing.
  for (double& s : sums) s = std::fabs(s);
  out.component_volumes = std::move(sums);
  for (const double v : out.component_volumes) out.total_volume += v;
  out.success = true;
  return out;
}

namespace {

// The neighbours of every point in the graph the orientation is propagated over. Small: each
// neighbour is one more edge to weigh, and a sampled surface stays connected with ten.
constexpr int kGraphNeighbours = 10;

using Vec = Eigen::Vector3f;

bool finite(const Vec& v) { return v.allFinite(); }

// The points in the order of a Morton (Z-order) curve over their bounding box, ties by index:
// order[k] is the point that comes k-th. Neighbours in space end up near each other in memory,
// which is what keeps the neighbour search and the walk fast on clouds of millions of points
// stored in scan order or none.
std::vector<int32_t> spatial_order(const pcl::PointCloud<pcl::PointXYZ>& points) {
  const size_t n = points.size();
  Vec low = points[0].getVector3fMap(), high = low;
  for (size_t i = 1; i < n; ++i) {
    low = low.cwiseMin(points[i].getVector3fMap());
    high = high.cwiseMax(points[i].getVector3fMap());
  }
  const Eigen::Vector3d span = (high - low).cast<double>().cwiseMax(1e-30);
  // Spreads the low 21 bits of v so that two zero bits follow each one.
  auto spread = [](uint64_t v) {
    v &= 0x1fffff;
    v = (v | v << 32) & 0x1f00000000ffffULL;
    v = (v | v << 16) & 0x1f0000ff0000ffULL;
    v = (v | v << 8) & 0x100f00f00f00f00fULL;
    v = (v | v << 4) & 0x10c30c30c30c30c3ULL;
    v = (v | v << 2) & 0x1249249249249249ULL;
    return v;
  };
  std::vector<std::pair<uint64_t, int32_t>> keyed(n);
  for (size_t i = 0; i < n; ++i) {
    const Eigen::Vector3d f =
        (points[i].getVector3fMap() - low).cast<double>().cwiseQuotient(span) * 2097151.0;
    keyed[i] = {spread(static_cast<uint64_t>(f.x())) | spread(static_cast<uint64_t>(f.y())) << 1 |
                    spread(static_cast<uint64_t>(f.z())) << 2,
                static_cast<int32_t>(i)};
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<int32_t> order(n);
  for (size_t k = 0; k < n; ++k) order[k] = keyed[k].second;
  return order;
}

// The symmetric nearest-neighbour graph of the points at `pos`, in compressed rows: the neighbours
// of point k are targets[offsets[k]] .. targets[offsets[k + 1] - 1]. A pair that is mutually
// nearest appears twice, which changes no spanning tree.
struct Graph {
  std::vector<size_t> offsets;
  std::vector<int32_t> targets;
};

Graph neighbour_graph(std::vector<Vec>& pos) {
  const size_t n = pos.size();
  const size_t k = std::min<size_t>(kGraphNeighbours, n - 1);
  // One exact k-d tree over the renumbered points, searched for all of them in one batch
  // (threaded inside the library): no allocation per point, and each point's answer is
  // independent of the threads, so the graph is always the same.
  const flann::Matrix<float> table(pos[0].data(), n, 3);
  flann::KDTreeSingleIndex<flann::L2_Simple<float>> index(table,
                                                          flann::KDTreeSingleIndexParams(15));
  index.buildIndex();
  std::vector<int> found_data(n * (k + 1), -1);
  std::vector<float> distance_data(n * (k + 1), 0.0f);
  flann::Matrix<int> found(found_data.data(), n, k + 1);
  flann::Matrix<float> distances(distance_data.data(), n, k + 1);
  flann::SearchParams params;
  params.cores = 0;
  index.knnSearch(table, found, distances, k + 1, params);
  distance_data = std::vector<float>();

  std::vector<int32_t> nearest(n * k, -1);
  for (size_t r = 0; r < n; ++r) {
    size_t m = 0;
    for (size_t c = 0; c <= k; ++c) {
      const int j = found[r][c];
      if (j >= 0 && static_cast<size_t>(j) < n && static_cast<size_t>(j) != r && m < k) {
        nearest[r * k + m++] = j;
      }
    }
  }
  found_data = std::vector<int>();
  Graph g;
  g.offsets.assign(n + 1, 0);
  for (size_t i = 0; i < n * k; ++i) {
    const int32_t j = nearest[i];
    if (j < 0) continue;
    ++g.offsets[i / k + 1];
    ++g.offsets[static_cast<size_t>(j) + 1];
  }
  for (size_t i = 0; i < n; ++i) g.offsets[i + 1] += g.offsets[i];
  g.targets.resize(g.offsets[n]);
  std::vector<size_t> fill(g.offsets.begin(), g.offsets.end() - 1);
  for (size_t i = 0; i < n * k; ++i) {
    const int32_t j = nearest[i];
    if (j < 0) continue;
    g.targets[fill[i / k]++] = j;
    g.targets[fill[static_cast<size_t>(j)]++] = static_cast<int32_t>(i / k);
  }
  return g;
}

// A binary min-heap of points keyed by their cheapest edge into the growing tree, with the point
// number breaking ties so that the walk never depends on the heap's internals. Knows where each
// point sits, so a cheaper edge lowers a key in place: memory stays one slot per point.
class EdgeHeap {
 public:
  explicit EdgeHeap(size_t n) : key_(n, 0.0f), slot_(n, -1) { heap_.reserve(n); }

  bool empty() const { return heap_.empty(); }
  bool contains(int32_t p) const { return slot_[static_cast<size_t>(p)] >= 0; }
  float key(int32_t p) const { return key_[static_cast<size_t>(p)]; }

  void push(int32_t p, float key) {
    key_[static_cast<size_t>(p)] = key;
    heap_.push_back(p);
    slot_[static_cast<size_t>(p)] = static_cast<int32_t>(heap_.size() - 1);
    up(heap_.size() - 1);
  }
  void lower(int32_t p, float key) {
    key_[static_cast<size_t>(p)] = key;
    up(static_cast<size_t>(slot_[static_cast<size_t>(p)]));
  }
  int32_t pop() {
    const int32_t top = heap_.front();
    place(0, heap_.back());
    heap_.pop_back();
    slot_[static_cast<size_t>(top)] = -1;
    if (!heap_.empty()) down(0);
    return top;
  }

 private:
  bool before(int32_t a, int32_t b) const {
    const float ka = key_[static_cast<size_t>(a)], kb = key_[static_cast<size_t>(b)];
    return ka < kb || (ka == kb && a < b);
  }
  void place(size_t at, int32_t p) {
    heap_[at] = p;
    slot_[static_cast<size_t>(p)] = static_cast<int32_t>(at);
  }
  void up(size_t at) {
    const int32_t p = heap_[at];
    while (at > 0 && before(p, heap_[(at - 1) / 2])) {
      place(at, heap_[(at - 1) / 2]);
      at = (at - 1) / 2;
    }
    place(at, p);
  }
  void down(size_t at) {
    const int32_t p = heap_[at];
    for (;;) {
      size_t child = 2 * at + 1;
      if (child >= heap_.size()) break;
      if (child + 1 < heap_.size() && before(heap_[child + 1], heap_[child])) ++child;
      if (!before(heap_[child], p)) break;
      place(at, heap_[child]);
      at = child;
    }
    place(at, p);
  }

  std::vector<float> key_;
  std::vector<int32_t> slot_;  // position in heap_; -1 when not in it
  std::vector<int32_t> heap_;
};

}  // namespace

Orientation orient_normals(const pcl::PointCloud<pcl::PointXYZ>& points,
                           const Eigen::Vector3f& viewpoint,
                           pcl::PointCloud<pcl::Normal>& normals) {
  Orientation out;
  const size_t n = points.size();
  if (n < 2 || normals.size() != n ||
      n > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    return out;
  }
  // From here on point k is points[order[k]], its position pos[k] and its normal nrm[k].
  const std::vector<int32_t> order = spatial_order(points);
  std::vector<Vec> pos(n), nrm(n);
  for (size_t k = 0; k < n; ++k) {
    pos[k] = points[static_cast<size_t>(order[k])].getVector3fMap();
    nrm[k] = normals[static_cast<size_t>(order[k])].getNormalVector3fMap();
  }
  const Graph graph = neighbour_graph(pos);

  // Prim's walk, one tree per piece of the graph. turn[k] says whether k's normal must be
  // turned around to agree with the normal it was reached from, itself maybe turned.
  EdgeHeap heap(n);
  std::vector<uint8_t> done(n, 0);
  std::vector<uint8_t> turn(n, 0);
  std::vector<int32_t> parent(n, -1);
  std::vector<int32_t> walked;  // points in the order the walk reaches them, cluster by cluster
  walked.reserve(n);
  for (size_t root = 0; root < n; ++root) {
    if (done[root]) continue;
    const size_t begin = walked.size();
    heap.push(static_cast<int32_t>(root), 0.0f);
    while (!heap.empty()) {
      const int32_t u = heap.pop();
      const size_t ui = static_cast<size_t>(u);
      done[ui] = 1;
      walked.push_back(u);
      const Vec nu = nrm[ui];
      const bool finite_u = finite(nu);
      if (parent[ui] >= 0) {
        const size_t pi = static_cast<size_t>(parent[ui]);
        turn[ui] = turn[pi] ^ static_cast<uint8_t>(nu.dot(nrm[pi]) < 0.0f);
      }
      for (size_t e = graph.offsets[ui]; e < graph.offsets[ui + 1]; ++e) {
        const int32_t w = graph.targets[e];
        const size_t wi = static_cast<size_t>(w);
        if (done[wi]) continue;
        const float weight = finite_u && finite(nrm[wi]) ? 1.0f - std::fabs(nu.dot(nrm[wi])) : 1.0f;
        if (!heap.contains(w)) {
          parent[wi] = u;
          heap.push(w, weight);
        } else if (weight < heap.key(w) || (weight == heap.key(w) && u < parent[wi])) {
          parent[wi] = u;
          heap.lower(w, weight);
        }
      }
    }
    const size_t end = walked.size();

    // The cluster just walked: choose its sign, then keep or turn its normals.
    ++out.clusters;
    Eigen::Vector3d low = Eigen::Vector3d::Constant(std::numeric_limits<double>::infinity());
    Eigen::Vector3d high = -low;
    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
    for (size_t o = begin; o < end; ++o) {
      const Eigen::Vector3d p = pos[static_cast<size_t>(walked[o])].cast<double>();
      low = low.cwiseMin(p);
      high = high.cwiseMax(p);
      sum += p;
    }
    const Eigen::Vector3d vp = viewpoint.cast<double>();
    const bool inside = (vp.array() >= low.array()).all() && (vp.array() <= high.array()).all();
    const Eigen::Vector3d toward = inside ? vp : Eigen::Vector3d(sum / double(end - begin));
    double vote = 0.0;
    for (size_t o = begin; o < end; ++o) {
      const size_t k = static_cast<size_t>(walked[o]);
      if (!finite(nrm[k])) continue;
      const Eigen::Vector3d d = toward - pos[k].cast<double>();
      const double length = d.norm();
      if (length == 0.0) continue;
      const double along = nrm[k].cast<double>().dot(d) / length;
      vote += turn[k] ? -along : along;
    }
    const uint8_t all = vote < 0.0 ? 1 : 0;
    size_t usable = 0, disagree = 0;
    for (size_t o = begin; o < end; ++o) {
      const size_t k = static_cast<size_t>(walked[o]);
      if (!finite(nrm[k])) continue;
      ++usable;
      disagree += turn[k] ^ all;
    }
    if (static_cast<double>(disagree) <= kMaxViewpointDisagreement * static_cast<double>(usable)) {
      continue;
    }
    ++out.propagated_clusters;
    out.flipped += disagree;
    for (size_t o = begin; o < end; ++o) {
      const size_t k = static_cast<size_t>(walked[o]);
      if (!finite(nrm[k]) || (turn[k] ^ all) == 0) continue;
      pcl::Normal& normal = normals[static_cast<size_t>(order[k])];
      normal.normal_x = -normal.normal_x;
      normal.normal_y = -normal.normal_y;
      normal.normal_z = -normal.normal_z;
    }
  }
  return out;
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
    const std::string error = out.write(data.data(), data.size());
    data.clear();
    return error;
  };
  for (const pcl::PointXYZ& v : vertices) {
    const float xyz[3] = {v.x, v.y, v.z};
    data.append(reinterpret_cast<const char*>(xyz), sizeof xyz);
    const std::string error = flush_full();
    if (!error.empty()) return error;
  }
  for (const pcl::Vertices& polygon : polygons) {
    data.push_back(static_cast<char>(polygon.vertices.size()));
    for (const auto index : polygon.vertices) {
      const int32_t i = static_cast<int32_t>(index);
      data.append(reinterpret_cast<const char*>(&i), sizeof i);
    }
    const std::string error = flush_full();
    if (!error.empty()) return error;
  }
  return out.write(data.data(), data.size());
}

int clamp_depth(int requested) {
  if (requested <= 4) return 5;
  if (requested > 12) return 12;
  return requested;
}

namespace {

// The input's base name (after its last '/' or '\\') with everything from its last '.' cut off.
std::string stem(const std::string& input_pcd) {
  const size_t slash = input_pcd.find_last_of("/\\");
  std::string base = slash == std::string::npos ? input_pcd : input_pcd.substr(slash + 1);
  const size_t dot = base.rfind('.');
  if (dot != std::string::npos) base.erase(dot);
  return base;
}

}  // namespace

std::string reconstructed_path(const std::string& input_pcd, const std::string& output_dir) {
  return output_dir + "/" + stem(input_pcd) + "_reconstructed.pcd";
}

std::string mesh_path(const std::string& input_pcd, const std::string& output_dir) {
  return output_dir + "/" + stem(input_pcd) + "_mesh.ply";
}

std::string check_against_hull(double volume, double hull_volume) {
  if (volume <= kMaxVolumeOverHull * hull_volume) return {};
  char text[400];
  std::snprintf(text, sizeof text,
                "Reconstructed volume %.6f exceeds the volume %.6f of the points' convex hull by "
                "more than 25 %%: the normals are likely inconsistent, several voids touch, or a "
                "large part of the void was not scanned",
                volume, hull_volume);
  return text;
}

}  // namespace detail
}  // namespace caikongqu
