#include "mesh_solid.h"

#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "mesh_volume.h"

namespace caikongqu {
namespace detail {

namespace {

// Sets of indices joined by union; every set's root is its smallest member, so that a welded
// group keeps its earliest vertex and a piece is named by its first triangle.
class Sets {
 public:
  explicit Sets(size_t count) : parent_(count) {
    for (size_t i = 0; i < count; ++i) parent_[i] = static_cast<int32_t>(i);
  }
  int32_t root(int32_t i) {
    while (parent_[static_cast<size_t>(i)] != i) {
      int32_t& up = parent_[static_cast<size_t>(i)];
      up = parent_[static_cast<size_t>(up)];
      i = up;
    }
    return i;
  }
  void join(int32_t a, int32_t b) {
    a = root(a);
    b = root(b);
    if (a < b) parent_[static_cast<size_t>(b)] = a;
    if (b < a) parent_[static_cast<size_t>(a)] = b;
  }

 private:
  std::vector<int32_t> parent_;
};

Eigen::Vector3d position(const pcl::PointCloud<pcl::PointXYZ>& vertices, int32_t i) {
  return vertices[static_cast<size_t>(i)].getVector3fMap().cast<double>();
}

// The median length of the first edge of every triangle: the mesh's own scale, independent of
// its extent.
double median_edge(const pcl::PointCloud<pcl::PointXYZ>& vertices,
                   const std::vector<Triangle>& triangles) {
  std::vector<double> lengths(triangles.size());
  for (size_t t = 0; t < triangles.size(); ++t) {
    lengths[t] = (position(vertices, triangles[t][1]) - position(vertices, triangles[t][0])).norm();
  }
  const auto middle = lengths.begin() + static_cast<std::ptrdiff_t>(lengths.size() / 2);
  std::nth_element(lengths.begin(), middle, lengths.end());
  return *middle;
}

// The undirected edges of `triangles` as (smaller << 32 | larger), sorted, each once; marks in
// `border` the vertices of the edges that only one triangle has.
std::vector<uint64_t> sorted_edges(const std::vector<Triangle>& triangles,
                                   std::vector<uint8_t>& border) {
  std::vector<uint64_t> edges;
  edges.reserve(3 * triangles.size());
  for (const Triangle& t : triangles) {
    for (size_t k = 0; k < 3; ++k) {
      const auto a = static_cast<uint64_t>(std::min(t[k], t[(k + 1) % 3]));
      const auto b = static_cast<uint64_t>(std::max(t[k], t[(k + 1) % 3]));
      edges.push_back((a << 32) | b);
    }
  }
  std::sort(edges.begin(), edges.end());
  for (size_t j = 0; j < edges.size();) {
    size_t end = j + 1;
    while (end < edges.size() && edges[end] == edges[j]) ++end;
    if (end - j == 1) {
      border[static_cast<size_t>(edges[j] >> 32)] = 1;
      border[static_cast<size_t>(edges[j] & 0xffffffffu)] = 1;
    }
    j = end;
  }
  edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
  return edges;
}

// Merges the used vertices no farther apart than `collapse`, and the `border` vertices within
// `tolerance` of each other that no edge of `edges` joins (the two sides of a slit; inside a
// closed surface such a merge would pinch it): each vertex's cell of a grid of the tolerance is
// sorted once, and only the 27 cells around a vertex are searched. Returns, per vertex, the
// vertex it became (itself when kept); unused vertices stay themselves.
std::vector<int32_t> weld(const pcl::PointCloud<pcl::PointXYZ>& vertices,
                          const std::vector<uint8_t>& used, const std::vector<uint8_t>& border,
                          const std::vector<uint64_t>& edges, double tolerance, double collapse) {
  constexpr int kBits = 21;
  constexpr int64_t kCells = int64_t{1} << kBits;
  const size_t n = vertices.size();
  Eigen::Vector3d low = Eigen::Vector3d::Constant(HUGE_VAL);
  Eigen::Vector3d high = Eigen::Vector3d::Constant(-HUGE_VAL);
  for (size_t i = 0; i < n; ++i) {
    if (!used[i]) continue;
    low = low.cwiseMin(position(vertices, static_cast<int32_t>(i)));
    high = high.cwiseMax(position(vertices, static_cast<int32_t>(i)));
  }
  // Cells no smaller than the tolerance, and few enough per axis to pack three in one key.
  const double span = (high - low).maxCoeff();
  double cell = std::max(tolerance, span / static_cast<double>(kCells - 2));
  if (!(cell > 0.0)) cell = 1.0;
  auto cell_of = [&](size_t i, int k) {
    return static_cast<int64_t>((vertices[i].data[k] - low[k]) / cell);
  };
  auto key = [](int64_t x, int64_t y, int64_t z) {
    return static_cast<uint64_t>((z << (2 * kBits)) | (y << kBits) | x);
  };
  std::vector<std::pair<uint64_t, int32_t>> sorted;
  sorted.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    if (used[i])
      sorted.emplace_back(key(cell_of(i, 0), cell_of(i, 1), cell_of(i, 2)),
                          static_cast<int32_t>(i));
  }
  std::sort(sorted.begin(), sorted.end());

  Sets groups(n);
  const double limit = tolerance * tolerance;
  const double collapse_limit = collapse * collapse;
  auto joined = [&edges](int32_t a, int32_t b) {
    const uint64_t key =
        (static_cast<uint64_t>(std::min(a, b)) << 32) | static_cast<uint64_t>(std::max(a, b));
    return std::binary_search(edges.begin(), edges.end(), key);
  };
  for (size_t s = 0; s < sorted.size(); ++s) {
    const auto i = static_cast<size_t>(sorted[s].second);
    const int64_t x = cell_of(i, 0), y = cell_of(i, 1), z = cell_of(i, 2);
    const Eigen::Vector3d p = position(vertices, sorted[s].second);
    for (int64_t dz = -1; dz <= 1; ++dz) {
      for (int64_t dy = -1; dy <= 1; ++dy) {
        if (y + dy < 0 || z + dz < 0 || y + dy >= kCells || z + dz >= kCells) continue;
        // Cells along x with the same y and z are adjacent in key order.
        const uint64_t first = key(std::max<int64_t>(x - 1, 0), y + dy, z + dz);
        const uint64_t last = key(std::min(x + 1, kCells - 1), y + dy, z + dz);
        auto at = std::lower_bound(sorted.begin(), sorted.end(),
                                   std::pair<uint64_t, int32_t>(first, INT32_MIN));
        for (; at != sorted.end() && at->first <= last; ++at) {
          if (at->second == sorted[s].second) continue;
          const double squared = (position(vertices, at->second) - p).squaredNorm();
          const bool slit = border[i] && border[static_cast<size_t>(at->second)] &&
                            !joined(at->second, sorted[s].second);
          if (squared <= collapse_limit || (squared <= limit && slit)) {
            groups.join(at->second, sorted[s].second);
          }
        }
      }
    }
  }
  std::vector<int32_t> into(n);
  for (size_t i = 0; i < n; ++i) into[i] = groups.root(static_cast<int32_t>(i));
  return into;
}

// One side of one triangle: the undirected edge as (smaller, larger vertex) in one integer,
// the triangle, and whether the triangle runs it from the smaller vertex to the larger.
struct EdgeUse {
  uint64_t key;
  int32_t triangle;
  bool forward;
  bool operator<(const EdgeUse& o) const {
    return key != o.key ? key < o.key : triangle < o.triangle;
  }
};

void add_uses(std::vector<EdgeUse>& uses, const Triangle& t, int32_t id) {
  for (int k = 0; k < 3; ++k) {
    const int32_t a = t[static_cast<size_t>(k)];
    const int32_t b = t[static_cast<size_t>((k + 1) % 3)];
    const auto lo = static_cast<uint64_t>(std::min(a, b));
    const auto hi = static_cast<uint64_t>(std::max(a, b));
    uses.push_back({(lo << 32) | hi, id, a < b});
  }
}

// Closes the holes of at most kMaxHoleEdges edges in `triangles`: each loop of edges that one
// triangle alone runs, followed from vertex to vertex where every vertex starts one such edge, is
// covered by a fan wound against the loop. Returns the triangles added.
size_t fill_small_holes(std::vector<Triangle>& triangles) {
  std::vector<EdgeUse> uses;
  uses.reserve(3 * triangles.size());
  for (size_t t = 0; t < triangles.size(); ++t)
    add_uses(uses, triangles[t], static_cast<int32_t>(t));
  std::sort(uses.begin(), uses.end());
  // The border as directed edges (from, to, triangle), sorted by their start.
  std::vector<std::array<int32_t, 3>> border;
  for (size_t j = 0; j < uses.size();) {
    size_t end = j + 1;
    while (end < uses.size() && uses[end].key == uses[j].key) ++end;
    if (end - j == 1) {
      const auto lo = static_cast<int32_t>(uses[j].key >> 32);
      const auto hi = static_cast<int32_t>(uses[j].key & 0xffffffffu);
      border.push_back({uses[j].forward ? lo : hi, uses[j].forward ? hi : lo, uses[j].triangle});
    }
    j = end;
  }
  uses = std::vector<EdgeUse>();
  std::sort(border.begin(), border.end());
  // The one border edge leaving `v`; -1 when none or several do.
  auto next = [&border](int32_t v) -> int64_t {
    auto at = std::lower_bound(border.begin(), border.end(),
                               std::array<int32_t, 3>{v, INT32_MIN, INT32_MIN});
    if (at == border.end() || (*at)[0] != v) return -1;
    if (at + 1 != border.end() && (*(at + 1))[0] == v) return -1;
    return at - border.begin();
  };
  std::vector<uint8_t> done(border.size(), 0);
  std::array<int32_t, kMaxHoleEdges> loop{};
  size_t added = 0;
  for (size_t e = 0; e < border.size(); ++e) {
    if (done[e]) continue;
    size_t length = 0;
    bool one_triangle = true;  // the whole border of a lone triangle is no hole
    int64_t at = static_cast<int64_t>(e);
    while (at >= 0 && length < kMaxHoleEdges && !done[static_cast<size_t>(at)]) {
      const auto& edge = border[static_cast<size_t>(at)];
      one_triangle = one_triangle && edge[2] == border[e][2];
      loop[length++] = edge[0];
      at = next(edge[1]);
      if (at == static_cast<int64_t>(e)) break;
    }
    if (at != static_cast<int64_t>(e) || length < 3 || one_triangle) continue;
    for (size_t k = 0; k < length; ++k) {
      done[static_cast<size_t>(at)] = 1;
      at = next(border[static_cast<size_t>(at)][1]);
    }
    for (size_t k = 1; k + 1 < length; ++k) {
      triangles.push_back({loop[0], loop[k + 1], loop[k]});
      ++added;
    }
  }
  return added;
}

}  // namespace

SolidMesh make_solid(const pcl::PointCloud<pcl::PointXYZ>& vertices,
                     const std::vector<pcl::Vertices>& polygons) {
  SolidMesh out;
  const std::vector<Triangle> raw = fan_triangles(polygons);
  if (raw.empty()) return out;

  const size_t n = vertices.size();
  std::vector<uint8_t> used(n, 0);
  for (const Triangle& t : raw) {
    for (const int32_t v : t) used[static_cast<size_t>(v)] = 1;
  }
  const double median = median_edge(vertices, raw);
  out.weld_tolerance = kWeldShare * median;
  std::vector<int32_t> into;
  {
    std::vector<uint8_t> border(n, 0);
    const std::vector<uint64_t> edges = sorted_edges(raw, border);
    into = weld(vertices, used, border, edges, out.weld_tolerance, kCollapseShare * median);
  }
  for (size_t i = 0; i < n; ++i) out.welded += used[i] && into[i] != static_cast<int32_t>(i);

  // The welded triangles, each with the one it came from; -1 for a raw triangle that collapsed.
  std::vector<Triangle> kept;
  kept.reserve(raw.size());
  std::vector<int32_t> kept_index(raw.size(), -1);
  for (size_t t = 0; t < raw.size(); ++t) {
    const Triangle w = {into[static_cast<size_t>(raw[t][0])], into[static_cast<size_t>(raw[t][1])],
                        into[static_cast<size_t>(raw[t][2])]};
    if (w[0] == w[1] || w[1] == w[2] || w[2] == w[0]) continue;
    kept_index[t] = static_cast<int32_t>(kept.size());
    kept.push_back(w);
  }
  // Where the reconstruction left out a triangle, or a corner's copies lie farther apart than the
  // tolerance, a small hole remains.
  const size_t from_raw = kept.size();
  out.filled = fill_small_holes(kept);

  // Pieces joined over shared edges; a piece with an edge not run once each way by exactly two
  // triangles is no closed, consistently wound surface.
  std::vector<EdgeUse> uses;
  uses.reserve(3 * kept.size());
  for (size_t t = 0; t < kept.size(); ++t) add_uses(uses, kept[t], static_cast<int32_t>(t));
  std::sort(uses.begin(), uses.end());
  Sets pieces(kept.size());
  std::vector<uint8_t> broken(kept.size(), 0);
  for (size_t j = 0; j < uses.size();) {
    size_t end = j + 1;
    while (end < uses.size() && uses[end].key == uses[j].key) ++end;
    const bool closed = end - j == 2 && uses[j].forward != uses[j + 1].forward;
    for (size_t k = j; k < end; ++k) {
      if (k > j) pieces.join(uses[k - 1].triangle, uses[k].triangle);
      if (!closed) broken[static_cast<size_t>(uses[k].triangle)] = 1;
    }
    j = end;
  }
  uses = std::vector<EdgeUse>();

  // Piece numbers in the order of their first triangles, each piece's signed volume taken
  // about its first vertex so that coordinates far from the origin keep their digits.
  std::vector<int32_t> label(kept.size());
  std::vector<double> volume;
  std::vector<uint8_t> open;
  std::vector<Eigen::Vector3d> centre;
  for (size_t t = 0; t < kept.size(); ++t) {
    const int32_t root = pieces.root(static_cast<int32_t>(t));
    if (root == static_cast<int32_t>(t)) {
      label[t] = static_cast<int32_t>(volume.size());
      volume.push_back(0.0);
      open.push_back(0);
      centre.push_back(position(vertices, kept[t][0]));
    } else {
      label[t] = label[static_cast<size_t>(root)];
    }
    const auto piece = static_cast<size_t>(label[t]);
    open[piece] |= broken[t];
    const Eigen::Vector3d a = position(vertices, kept[t][0]) - centre[piece];
    const Eigen::Vector3d b = position(vertices, kept[t][1]) - centre[piece];
    const Eigen::Vector3d c = position(vertices, kept[t][2]) - centre[piece];
    volume[piece] += a.dot(b.cross(c)) / 6.0;
  }
  out.pieces = volume.size();
  for (size_t p = 0; p < volume.size(); ++p) {
    out.open += open[p];
    out.turned += !open[p] && volume[p] < 0.0;
  }

  // The piece each welded vertex lies on, for the collapsed triangles of a piece kept as it was.
  std::vector<int32_t> piece_of_vertex(n, -1);
  for (size_t t = 0; t < kept.size(); ++t) {
    for (const int32_t v : kept[t]) piece_of_vertex[static_cast<size_t>(v)] = label[t];
  }
  out.triangles.reserve(kept.size());
  for (size_t t = 0; t < raw.size(); ++t) {
    const int32_t k = kept_index[t];
    if (k < 0) {
      const int32_t piece =
          piece_of_vertex[static_cast<size_t>(into[static_cast<size_t>(raw[t][0])])];
      if (piece >= 0 && open[static_cast<size_t>(piece)]) {
        out.triangles.push_back(raw[t]);
      } else {
        ++out.degenerate;
      }
      continue;
    }
    const auto piece = static_cast<size_t>(label[static_cast<size_t>(k)]);
    const Triangle& w = kept[static_cast<size_t>(k)];
    if (open[piece]) {
      out.triangles.push_back(raw[t]);
    } else if (volume[piece] < 0.0) {
      out.triangles.push_back({w[0], w[2], w[1]});
    } else {
      out.triangles.push_back(w);
    }
  }
  for (size_t k = from_raw; k < kept.size(); ++k) {
    const auto piece = static_cast<size_t>(label[k]);
    const Triangle& w = kept[k];
    if (open[piece]) continue;
    out.triangles.push_back(volume[piece] < 0.0 ? Triangle{w[0], w[2], w[1]} : w);
  }

  // The vertices the triangles use, in their order; the triangles renumbered to them.
  std::vector<int32_t> position_of(n, -1);
  for (const Triangle& t : out.triangles) {
    for (const int32_t v : t) position_of[static_cast<size_t>(v)] = 0;
  }
  for (size_t i = 0; i < n; ++i) {
    if (position_of[i] == 0) {
      position_of[i] = static_cast<int32_t>(out.vertices.size());
      out.vertices.push_back(static_cast<int32_t>(i));
    }
  }
  for (Triangle& t : out.triangles) {
    for (int32_t& v : t) v = position_of[static_cast<size_t>(v)];
  }
  return out;
}

}  // namespace detail
}  // namespace caikongqu
