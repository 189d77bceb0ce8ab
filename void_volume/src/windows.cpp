#include "windows.h"

#include <Eigen/Eigenvalues>
#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

#include "point_math.h"

namespace caikongqu {
namespace detail {

namespace {

using Corners = std::array<uint32_t, 3>;

// The polygons fanned round their first vertex, in order, as measure_unscanned fans them.
std::vector<Corners> fanned(const std::vector<pcl::Vertices>& polygons) {
  std::vector<Corners> out;
  for (const pcl::Vertices& polygon : polygons) {
    const auto& v = polygon.vertices;
    for (size_t f = 2; f < v.size(); ++f) {
      out.push_back({static_cast<uint32_t>(v[0]), static_cast<uint32_t>(v[f - 1]),
                     static_cast<uint32_t>(v[f])});
    }
  }
  return out;
}

// The area vector (normal times area) of a triangle.
Eigen::Vector3d area_vector(const pcl::PointCloud<pcl::PointXYZ>& vertices, const Corners& t) {
  const Eigen::Vector3d a = vertices[t[0]].getVector3fMap().cast<double>();
  const Eigen::Vector3d b = vertices[t[1]].getVector3fMap().cast<double>();
  const Eigen::Vector3d c = vertices[t[2]].getVector3fMap().cast<double>();
  return 0.5 * (b - a).cross(c - a);
}

// The triangles round every vertex, as offsets into one list.
struct VertexTriangles {
  std::vector<uint32_t> start;  // vertex v's triangles are list[start[v]] .. list[start[v + 1]]
  std::vector<uint32_t> list;
};

VertexTriangles triangles_round(const std::vector<Corners>& triangles, size_t vertex_count) {
  VertexTriangles out;
  out.start.assign(vertex_count + 1, 0);
  for (const Corners& t : triangles) {
    for (const uint32_t v : t) ++out.start[v + 1];
  }
  std::partial_sum(out.start.begin(), out.start.end(), out.start.begin());
  out.list.resize(out.start.back());
  std::vector<uint32_t> next(out.start.begin(), out.start.end() - 1);
  for (size_t t = 0; t < triangles.size(); ++t) {
    for (const uint32_t v : triangles[t]) out.list[next[v]++] = static_cast<uint32_t>(t);
  }
  return out;
}

// One wall triangle round a window's rim: its unit normal, area and centroid.
struct Wall {
  Eigen::Vector3d normal;
  double area;
  Eigen::Vector3d centroid;
};

// The share of `walls` (of `total` area) lying in planes perpendicular to `direction` set apart
// by at least `apart`: of the walls whose normals lie within 45 degrees of it either way, the
// lesser of the area within `apart` of their area-weighted median plane and the area beyond.
// `level` is scratch.
double apart_share(const std::vector<Wall>& walls, const Eigen::Vector3d& direction, double total,
                   double apart, std::vector<std::pair<double, double>>& level) {
  level.clear();
  double parallel = 0.0;
  for (const Wall& wall : walls) {
    if (std::fabs(wall.normal.dot(direction)) < kFoldCosine) continue;
    level.emplace_back(wall.centroid.dot(direction), wall.area);
    parallel += wall.area;
  }
  if (level.empty() || !(total > 0.0)) return 0.0;
  std::sort(level.begin(), level.end());
  double below = 0.0, median = level.back().first;
  for (const auto& [at, area] : level) {
    below += area;
    if (below >= 0.5 * parallel) {
      median = at;
      break;
    }
  }
  double off = 0.0;
  for (const auto& [at, area] : level) {
    if (std::fabs(at - median) >= apart) off += area;
  }
  return std::min(off, parallel - off) / total;
}

// The share of the walls round each window's rim (the triangles within `on_wall` of a point,
// kRimRings rings of triangles from its vertices) that lies in parallel planes set apart across
// the window: the largest apart_share along the main directions of the walls' normals. `owner`
// holds each triangle's window (its number in `windows`), or -1.
void measure_apart(const pcl::PointCloud<pcl::PointXYZ>& vertices,
                   const std::vector<Corners>& triangles, const std::vector<uint8_t>& unscanned,
                   const std::vector<float>& gap, double on_wall, std::vector<int32_t>& owner,
                   std::vector<Window>& windows) {
  const VertexTriangles round = triangles_round(triangles, vertices.size());
  std::vector<int32_t> vertex_owner(vertices.size(), -1);
  std::vector<uint32_t> frontier, next;
  for (size_t t = 0; t < triangles.size(); ++t) {
    if (owner[t] < 0) continue;
    for (const uint32_t v : triangles[t]) {
      if (vertex_owner[v] < 0) {
        vertex_owner[v] = owner[t];
        frontier.push_back(v);
      }
    }
  }
  // The band grows ring by ring through scanned triangles; each joins the first window to reach it.
  const size_t count = windows.size();
  std::vector<Eigen::Matrix3d> scatter(count, Eigen::Matrix3d::Zero());
  std::vector<std::vector<Wall>> band(count);
  for (int ring = 0; ring < kRimRings && !frontier.empty(); ++ring) {
    next.clear();
    for (const uint32_t v : frontier) {
      const int32_t w = vertex_owner[v];
      for (uint32_t k = round.start[v]; k < round.start[v + 1]; ++k) {
        const uint32_t t = round.list[k];
        if (unscanned[t] != 0 || owner[t] >= 0) continue;
        owner[t] = w;
        const Eigen::Vector3d a = area_vector(vertices, triangles[t]);
        const double area = a.norm();
        // Only the walls themselves: the rest of the bridge, near enough to points to count as
        // scanned, lies in the window's own plane.
        if (area > 0.0 && gap[t] <= on_wall) {
          const Eigen::Vector3d n = a / area;
          scatter[static_cast<size_t>(w)] += area * n * n.transpose();
          Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
          for (const uint32_t u : triangles[t]) {
            centroid += vertices[u].getVector3fMap().cast<double>() / 3.0;
          }
          band[static_cast<size_t>(w)].push_back({n, area, centroid});
        }
        for (const uint32_t u : triangles[t]) {
          if (vertex_owner[u] < 0) {
            vertex_owner[u] = w;
            next.push_back(u);
          }
        }
      }
    }
    frontier.swap(next);
  }
  std::vector<std::pair<double, double>> level;
  for (size_t w = 0; w < count; ++w) {
    if (band[w].empty()) continue;
    // Along each main direction of the walls' normals, the walls in one plane and those set
    // apart from it across the window, facing it or stepped.
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(scatter[w]);
    double total = 0.0;
    for (const Wall& wall : band[w]) total += wall.area;
    double apart = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
      apart = std::max(apart, apart_share(band[w], solver.eigenvectors().col(axis), total,
                                          kApartWidths * windows[w].width, level));
    }
    windows[w].apart = apart;
    windows[w].recess = apart >= kMinApartShare;
  }
}

}  // namespace

Windows find_windows(const pcl::PointCloud<pcl::PointXYZ>& vertices,
                     const std::vector<pcl::Vertices>& polygons,
                     const std::vector<uint8_t>& unscanned, const std::vector<float>& gap,
                     double radius, double area) {
  Windows out;
  const std::vector<Corners> triangles = fanned(polygons);
  if (triangles.size() != unscanned.size() || gap.size() != unscanned.size()) return out;
  if (std::find(unscanned.begin(), unscanned.end(), 1) == unscanned.end()) return out;

  // Patches: unscanned triangles joined by a shared vertex.
  std::vector<uint32_t> parent(vertices.size());
  std::iota(parent.begin(), parent.end(), 0u);
  for (size_t t = 0; t < triangles.size(); ++t) {
    if (unscanned[t] == 0) continue;
    for (const uint32_t w : {triangles[t][1], triangles[t][2]}) {
      const size_t a = find_root(parent, triangles[t][0]), b = find_root(parent, w);
      if (a != b) parent[std::max(a, b)] = static_cast<uint32_t>(std::min(a, b));
    }
  }
  struct Patch {
    double area = 0.0;
    double gap = 0.0;
    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
  };
  std::vector<Patch> patches(vertices.size());
  for (size_t t = 0; t < triangles.size(); ++t) {
    if (unscanned[t] == 0) continue;
    Patch& p = patches[find_root(parent, triangles[t][0])];
    const double area = area_vector(vertices, triangles[t]).norm();
    Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
    for (const uint32_t v : triangles[t]) centroid += vertices[v].getVector3fMap().cast<double>();
    p.area += area;
    p.sum += area * centroid / 3.0;
    p.gap = std::max(p.gap, static_cast<double>(gap[t]));
  }

  // The patches wide and large enough to be windows, numbered by falling area.
  const double least = kMinWindowRadii * radius;
  std::vector<uint32_t> roots;
  for (size_t r = 0; r < patches.size(); ++r) {
    if (2.0 * patches[r].gap >= least && patches[r].area >= kMinWindowShare * area &&
        patches[r].area > 0.0)
      roots.push_back(static_cast<uint32_t>(r));
  }
  if (roots.empty()) return out;
  std::stable_sort(roots.begin(), roots.end(),
                   [&](uint32_t a, uint32_t b) { return patches[a].area > patches[b].area; });
  std::vector<int32_t> number(patches.size(), -1);
  for (size_t w = 0; w < roots.size(); ++w) {
    const Patch& p = patches[roots[w]];
    number[roots[w]] = static_cast<int32_t>(w);
    Window window;
    window.area = p.area;
    window.width = 2.0 * p.gap;
    window.centre = p.sum / p.area;
    out.found.push_back(window);
  }
  std::vector<int32_t> owner(triangles.size(), -1);
  out.guessed.assign(vertices.size(), 0);
  for (size_t t = 0; t < triangles.size(); ++t) {
    if (unscanned[t] == 0) continue;
    owner[t] = number[find_root(parent, triangles[t][0])];
    if (owner[t] < 0) continue;
    for (const uint32_t v : triangles[t]) out.guessed[v] = 1;
  }
  measure_apart(vertices, triangles, unscanned, gap, kOnWallRadii * radius, owner, out.found);
  return out;
}

std::string check_windows(const std::vector<Window>& windows, const Eigen::Vector3d& origin) {
  for (const Window& w : windows) {
    if (!w.recess) continue;
    auto fixed = [](double value, int decimals) {
      return number_text(value, std::chars_format::fixed, decimals);
    };
    const Eigen::Vector3d c = w.centre + origin;
    return "Reconstructed surface closes off a recess with an unscanned window of " +
           number_text(w.area, std::chars_format::general, 4) + " square units, " +
           number_text(w.width, std::chars_format::general, 3) + " across, around (" +
           fixed(c.x(), 2) + ", " + fixed(c.y(), 2) + ", " + fixed(c.z(), 2) +
           "): walls on opposite sides of its rim run on beyond it, so an unseen pocket of any "
           "size can lie behind it and the volume cannot be trusted";
  }
  return {};
}

}  // namespace detail
}  // namespace caikongqu
