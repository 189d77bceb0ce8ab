#include "normal_orientation.h"

#include <pcl/features/normal_3d.h>

#include <Eigen/Eigenvalues>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <utility>
#include <vector>

namespace caikongqu {
namespace detail {

namespace {

// The neighbours of every point in the graph the orientation is propagated over. Small: each
// neighbour is one more edge to weigh, and a sampled surface stays connected with ten.
constexpr int kGraphNeighbours = 10;

using Vec = Eigen::Vector3f;

bool finite(const Vec& v) { return v.allFinite(); }

// The eigenvalues (ascending) and eigenvectors of the spread of the `count` points picked by
// `pick` (their scatter about their mean, in double precision).
Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> spread(const pcl::PointCloud<pcl::PointXYZ>& points,
                                                      const int* pick, size_t count) {
  auto at = [&points, pick](size_t i) {
    return points[static_cast<size_t>(pick[i])].getVector3fMap().cast<double>();
  };
  Eigen::Vector3d mean = Eigen::Vector3d::Zero();
  for (size_t i = 0; i < count; ++i) mean += at(i);
  mean /= static_cast<double>(count);
  Eigen::Matrix3d scatter = Eigen::Matrix3d::Zero();
  for (size_t i = 0; i < count; ++i) {
    const Eigen::Vector3d d = at(i) - mean;
    scatter.noalias() += d * d.transpose();
  }
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver;
  solver.computeDirect(scatter);
  return solver;
}

// The symmetric nearest-neighbour graph of the points, in compressed rows: the neighbours of
// point k are targets[offsets[k]] .. targets[offsets[k + 1] - 1]. A pair that is mutually nearest
// appears twice, which changes no spanning tree.
struct Graph {
  std::vector<size_t> offsets;
  std::vector<int32_t> targets;
};

// The points a row of `rows` names, at most the point itself and kGraphNeighbours others.
size_t graph_row_width(const NeighbourRows& rows) {
  return std::min<size_t>(kGraphNeighbours + 1, rows.width);
}

// Gives every point whose nearest neighbours are drawn out along a line (a scanner's ring, dense
// along the ring and far from the next one, the range noise its only spread across) the normal of
// the smallest neighbourhood, of 2, 4, ... times kNormalNeighbours points up to
// kMaxLineNeighbours, that is a flat patch (round and thin), where that normal and the estimated
// one are more than kLineTilt apart; turned toward `viewpoint`. The estimated normal of such a
// point lies anywhere across the line: it stands on the plane of the ring and the noise, not on
// the wall. A point near an edge or on a wall's rough patch finds no flat patch and keeps its
// normal, as does every point whose wider patch agrees with it. Point k of `nrm` and `replaced`
// is points[order[k]]. Returns the number of normals replaced, marked in `replaced`.
size_t replace_line_normals(const pcl::PointCloud<pcl::PointXYZ>& points,
                            const NeighbourSearch& search, const NeighbourRows& rows,
                            const std::vector<int32_t>& order, const Vec& viewpoint,
                            std::vector<Vec>& nrm, std::vector<uint8_t>& replaced) {
  const size_t n = points.size();
  const size_t k = graph_row_width(rows);
  size_t count = 0;
  // Each point's answer depends on nothing but the points, so the threads change nothing.
#pragma omp parallel reduction(+ : count)
  {
    std::vector<int> wider;
    std::vector<size_t> scratch;
    std::vector<float> distance;
    std::vector<int> nearest(k);
#pragma omp for schedule(dynamic, 1024)
    for (std::ptrdiff_t t = 0; t < static_cast<std::ptrdiff_t>(n); ++t) {
      const auto r = static_cast<size_t>(t);
      if (!finite(nrm[r])) continue;
      const size_t i = static_cast<size_t>(order[r]);
      const int* row = rows.row(i);
      const size_t m = static_cast<size_t>(
          std::copy_if(row, row + k, nearest.begin(), [](int j) { return j >= 0; }) -
          nearest.begin());
      if (m < 3) continue;
      const Eigen::Vector3d near = spread(points, nearest.data(), m).eigenvalues();
      if (!(near(1) < kLineShare * near(2) && near(0) < kThinShare * near(1))) continue;
      const Vec at = points[i].getVector3fMap();
      for (int want = 2 * kNormalNeighbours; want <= kMaxLineNeighbours; want *= 2) {
        search.nearest(at.data(), static_cast<size_t>(want), wider, scratch, distance);
        const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> s =
            spread(points, wider.data(), wider.size());
        const Eigen::Vector3d& v = s.eigenvalues();
        if (v(1) >= kRoundShare * v(2) && v(0) < kThinShare * v(1)) {
          Vec normal = s.eigenvectors().col(0).cast<float>();
          if (std::fabs(normal.dot(nrm[r])) < std::cos(kLineTilt)) {
            if (normal.dot(viewpoint - at) < 0.0f) normal = -normal;
            nrm[r] = normal;
            replaced[r] = 1;
            ++count;
          }
          break;
        }
        if (wider.size() == n) break;
      }
    }
  }
  return count;
}

// Whether the link between the points at `a` and `b`, of normals `na` and `nb`, crosses a gap
// rather than running along a surface: the normals nearly parallel (either way) and the link
// along both of them. Two walls facing each other across rock (a drift beside a stope) or across
// a narrow void (a drill hole) are such a pair; their insides lie on opposite sides, so the
// orientation must not be carried over the link. A link round a corner runs along neither
// normal, and one along a wall across both.
// Only a link as long as the point's own neighbourhood is wide can cross a gap: a short one runs
// between two returns of one wall whose noise (a rough wall, a ring's range noise) lies along it.
bool crosses_gap(const Vec& a, const Vec& b, const Vec& na, const Vec& nb, float reach) {
  if (!finite(na) || !finite(nb)) return false;
  const Vec link = b - a;
  const float length = link.norm();
  if (!(length > 0.0f) || length < static_cast<float>(kGapReach) * reach) return false;
  const float along = static_cast<float>(kGapAlong) * length;
  return std::fabs(na.dot(nb)) >= static_cast<float>(kGapParallel) &&
         std::fabs(link.dot(na)) >= along && std::fabs(link.dot(nb)) >= along;
}

// The graph over the points numbered as `order` lays them out (`inverse` the other way), from
// each point's row of `rows`, without the links that cross a gap between two walls.
Graph neighbour_graph(const NeighbourRows& rows, const std::vector<int32_t>& order,
                      const std::vector<int32_t>& inverse, const std::vector<Vec>& pos,
                      const std::vector<Vec>& nrm) {
  const size_t n = order.size();
  const size_t k = graph_row_width(rows);
  // Calls `edge(r, j)` for every neighbour j of every point r other than r itself, at most
  // kGraphNeighbours a point, that does not cross a gap.
  auto for_each_edge = [&](auto&& edge) {
    for (size_t r = 0; r < n; ++r) {
      const int* row = rows.row(static_cast<size_t>(order[r]));
      // The width of the point's neighbourhood: the distance to the farthest of its row.
      float reach = 0.0f;
      for (size_t c = 0; c < k; ++c) {
        if (row[c] < 0) continue;
        const Vec& other = pos[static_cast<size_t>(inverse[static_cast<size_t>(row[c])])];
        reach = std::max(reach, (other - pos[r]).norm());
      }
      size_t m = 0;
      for (size_t c = 0; c < k && m < kGraphNeighbours; ++c) {
        if (row[c] < 0) continue;
        const int32_t j = inverse[static_cast<size_t>(row[c])];
        if (static_cast<size_t>(j) == r) continue;
        ++m;
        const auto ju = static_cast<size_t>(j);
        if (crosses_gap(pos[r], pos[ju], nrm[r], nrm[ju], reach)) continue;
        edge(r, j);
      }
    }
  };
  Graph g;
  g.offsets.assign(n + 1, 0);
  for_each_edge([&g](size_t r, int32_t j) {
    ++g.offsets[r + 1];
    ++g.offsets[static_cast<size_t>(j) + 1];
  });
  for (size_t i = 0; i < n; ++i) g.offsets[i + 1] += g.offsets[i];
  g.targets.resize(g.offsets[n]);
  std::vector<size_t> fill(g.offsets.begin(), g.offsets.end() - 1);
  for_each_edge([&g, &fill](size_t r, int32_t j) {
    g.targets[fill[r]++] = j;
    g.targets[fill[static_cast<size_t>(j)]++] = static_cast<int32_t>(r);
  });
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

// The points renumbered in spatial order: point k is points[order[k]] (inverse the other way),
// its position pos[k] and its normal nrm[k].
struct SpatialOrder {
  std::vector<int32_t> order;
  std::vector<int32_t> inverse;
  std::vector<Vec> pos;
  std::vector<Vec> nrm;
};

SpatialOrder in_spatial_order(const pcl::PointCloud<pcl::PointXYZ>& points,
                              const pcl::PointCloud<pcl::Normal>& normals) {
  const size_t n = points.size();
  SpatialOrder s;
  s.order = spatial_order(points);
  s.inverse.resize(n);
  s.pos.resize(n);
  s.nrm.resize(n);
  for (size_t k = 0; k < n; ++k) {
    s.inverse[static_cast<size_t>(s.order[k])] = static_cast<int32_t>(k);
    s.pos[k] = points[static_cast<size_t>(s.order[k])].getVector3fMap();
    s.nrm[k] = normals[static_cast<size_t>(s.order[k])].getNormalVector3fMap();
  }
  return s;
}

// Prim's walk over the graph, one tree per piece of it, cheapest edge (the least angle between
// two normals) first. turn[k] says whether k's normal must be turned around to agree with the
// normal it was reached from, itself maybe turned.
class PrimWalk {
 public:
  explicit PrimWalk(size_t n) : heap_(n), done_(n, 0), turn_(n, 0), parent_(n, -1) {
    walked_.reserve(n);
  }

  bool done(size_t k) const { return done_[k] != 0; }
  bool turned(size_t k) const { return turn_[k] != 0; }
  // The points in the order the walk reached them, cluster by cluster.
  const std::vector<int32_t>& walked() const { return walked_; }

  // Walks the cluster of `root`, a point not yet walked, appending its points to walked().
  void walk_cluster(size_t root, const Graph& graph, const std::vector<Vec>& nrm) {
    heap_.push(static_cast<int32_t>(root), 0.0f);
    while (!heap_.empty()) {
      const int32_t u = heap_.pop();
      const size_t ui = static_cast<size_t>(u);
      done_[ui] = 1;
      walked_.push_back(u);
      const Vec& nu = nrm[ui];
      const bool finite_u = finite(nu);
      if (parent_[ui] >= 0) {
        const size_t pi = static_cast<size_t>(parent_[ui]);
        turn_[ui] = turn_[pi] ^ static_cast<uint8_t>(nu.dot(nrm[pi]) < 0.0f);
      }
      for (size_t e = graph.offsets[ui]; e < graph.offsets[ui + 1]; ++e) {
        const int32_t w = graph.targets[e];
        const size_t wi = static_cast<size_t>(w);
        if (done_[wi]) continue;
        const float weight = finite_u && finite(nrm[wi]) ? 1.0f - std::fabs(nu.dot(nrm[wi])) : 1.0f;
        if (!heap_.contains(w)) {
          parent_[wi] = u;
          heap_.push(w, weight);
        } else if (weight < heap_.key(w) || (weight == heap_.key(w) && u < parent_[wi])) {
          parent_[wi] = u;
          heap_.lower(w, weight);
        }
      }
    }
  }

 private:
  EdgeHeap heap_;
  std::vector<uint8_t> done_;
  std::vector<uint8_t> turn_;
  std::vector<int32_t> parent_;
  std::vector<int32_t> walked_;
};

// The points of one cluster: walked()[begin, end) of a walk.
struct Cluster {
  const std::vector<int32_t>& walked;
  size_t begin;
  size_t end;
};

// The cluster's vote on its walked signs, from the flux of its normals through its own surface:
// for every finite normal n at p, as the walk turned it, the share (c - p) . n / sum |(c - p) . n|
// (c the centroid), times the number of such normals, so that it reads as a sum of cosines. On a
// closed surface, whatever its shape, the normals turned into it give a positive flux toward any
// inner point: a thin drift as well as a ball, where the cosines toward its centroid would nearly
// cancel along its walls. A surface with no inside of its own (a strip of wall, one ring of a
// scan) gives a flux near 0, which decides nothing.
double flux_vote(const Cluster& c, const SpatialOrder& s, const PrimWalk& walk,
                 const Eigen::Vector3d& centroid) {
  double flux = 0.0, magnitude = 0.0;
  size_t usable = 0;
  for (size_t o = c.begin; o < c.end; ++o) {
    const size_t k = static_cast<size_t>(c.walked[o]);
    if (!finite(s.nrm[k])) continue;
    const double along = s.nrm[k].cast<double>().dot(centroid - s.pos[k].cast<double>());
    flux += walk.turned(k) ? -along : along;
    magnitude += std::fabs(along);
    ++usable;
  }
  if (!(magnitude > 0.0) || std::fabs(flux) < kClosedFlux * magnitude) return 0.0;
  return flux / magnitude * static_cast<double>(usable);
}

// The cluster's vote on its walked signs: the sum over its finite normals, each as the walk
// turned it, of the cosine toward the viewpoint when that lies within the cluster's bounds, else
// its flux_vote. Above 0 the walked signs point into the void, below 0 they must all be turned.
double sign_vote(const Cluster& c, const SpatialOrder& s, const PrimWalk& walk,
                 const Eigen::Vector3f& viewpoint) {
  Eigen::Vector3d low = Eigen::Vector3d::Constant(std::numeric_limits<double>::infinity());
  Eigen::Vector3d high = -low;
  Eigen::Vector3d sum = Eigen::Vector3d::Zero();
  for (size_t o = c.begin; o < c.end; ++o) {
    const Eigen::Vector3d p = s.pos[static_cast<size_t>(c.walked[o])].cast<double>();
    low = low.cwiseMin(p);
    high = high.cwiseMax(p);
    sum += p;
  }
  const Eigen::Vector3d vp = viewpoint.cast<double>();
  const bool inside = (vp.array() >= low.array()).all() && (vp.array() <= high.array()).all();
  if (!inside) return flux_vote(c, s, walk, Eigen::Vector3d(sum / double(c.end - c.begin)));
  double vote = 0.0;
  for (size_t o = c.begin; o < c.end; ++o) {
    const size_t k = static_cast<size_t>(c.walked[o]);
    if (!finite(s.nrm[k])) continue;
    const Eigen::Vector3d d = vp - s.pos[k].cast<double>();
    const double length = d.norm();
    if (length == 0.0) continue;
    const double along = s.nrm[k].cast<double>().dot(d) / length;
    vote += walk.turned(k) ? -along : along;
  }
  return vote;
}

// Counts the cluster's finite normals into `usable`, and into `disagree` those whose walked sign
// differs from the vote's (`all`: the vote turns them all).
void count_disagreeing(const Cluster& c, const SpatialOrder& s, const PrimWalk& walk, bool all,
                       size_t* usable, size_t* disagree) {
  for (size_t o = c.begin; o < c.end; ++o) {
    const size_t k = static_cast<size_t>(c.walked[o]);
    if (!finite(s.nrm[k])) continue;
    ++*usable;
    if (walk.turned(k) != all) ++*disagree;
  }
}

}  // namespace

pcl::PointCloud<pcl::Normal> estimate_normals(const pcl::PointCloud<pcl::PointXYZ>& points,
                                              const NeighbourRows& rows,
                                              const Eigen::Vector3f& viewpoint) {
  const size_t n = points.size();
  pcl::PointCloud<pcl::Normal> normals;
  normals.resize(n);
  normals.is_dense = true;
  if (rows.index.size() != n * rows.width) {
    for (auto& normal : normals) normal.getNormalVector4fMap().setConstant(NAN);
    normals.is_dense = false;
    return normals;
  }
  bool dense = true;
#pragma omp parallel reduction(&& : dense)
  {
    pcl::Indices near;
    near.reserve(rows.width);
#pragma omp for schedule(static)
    for (std::ptrdiff_t t = 0; t < static_cast<std::ptrdiff_t>(n); ++t) {
      const auto i = static_cast<size_t>(t);
      const int* row = rows.row(i);
      near.clear();
      std::copy_if(row, row + rows.width, std::back_inserter(near), [](int j) { return j >= 0; });
      pcl::Normal& out = normals[i];
      Eigen::Vector4f plane;
      if (!pcl::computePointNormal(points, near, plane, out.curvature)) {
        out.normal_x = out.normal_y = out.normal_z = out.curvature = NAN;
        dense = false;
        continue;
      }
      out.normal_x = plane[0];
      out.normal_y = plane[1];
      out.normal_z = plane[2];
      pcl::flipNormalTowardsViewpoint(points[i], viewpoint.x(), viewpoint.y(), viewpoint.z(),
                                      out.normal_x, out.normal_y, out.normal_z);
    }
  }
  normals.is_dense = dense;
  return normals;
}

Orientation orient_normals(const pcl::PointCloud<pcl::PointXYZ>& points,
                           const NeighbourSearch& search, const NeighbourRows& rows,
                           const Eigen::Vector3f& viewpoint,
                           pcl::PointCloud<pcl::Normal>& normals) {
  Orientation out;
  const size_t n = points.size();
  if (n < 2 || normals.size() != n || rows.index.size() != n * rows.width ||
      n > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    return out;
  }
  SpatialOrder s = in_spatial_order(points, normals);
  std::vector<uint8_t> replaced(n, 0);
  out.replaced = replace_line_normals(points, search, rows, s.order, viewpoint, s.nrm, replaced);
  const Graph graph = neighbour_graph(rows, s.order, s.inverse, s.pos, s.nrm);

  PrimWalk walk(n);
  out.cluster.assign(n, 0);
  for (size_t root = 0; root < n; ++root) {
    if (walk.done(root)) continue;
    const size_t begin = walk.walked().size();
    walk.walk_cluster(root, graph, s.nrm);
    const Cluster cluster{walk.walked(), begin, walk.walked().size()};
    for (size_t o = cluster.begin; o < cluster.end; ++o) {
      out.cluster[static_cast<size_t>(s.order[static_cast<size_t>(cluster.walked[o])])] =
          static_cast<uint32_t>(out.clusters);
    }
    ++out.clusters;

    // The cluster just walked: choose its sign, then keep or turn its normals.
    const double vote = sign_vote(cluster, s, walk, viewpoint);
    const bool all = vote < 0.0;
    size_t usable = 0, disagree = 0;
    count_disagreeing(cluster, s, walk, all, &usable, &disagree);
    // A cluster that has no inside of its own (one ring of a scan, a strip of wall) gives its
    // centroid no side: the vote is near zero and says nothing, so the viewpoint's sign stays.
    const bool decided = std::fabs(vote) >= kDecisiveVote * static_cast<double>(usable);
    const bool propagate = decided && static_cast<double>(disagree) >
                                          kMaxViewpointDisagreement * static_cast<double>(usable);
    if (propagate) {
      ++out.propagated_clusters;
      out.flipped += disagree;
    }
    for (size_t o = cluster.begin; o < cluster.end; ++o) {
      const size_t k = static_cast<size_t>(cluster.walked[o]);
      if (!finite(s.nrm[k])) continue;
      const bool flip = propagate && walk.turned(k) != all;
      if (!flip && replaced[k] == 0) continue;
      normals[static_cast<size_t>(s.order[k])].getNormalVector3fMap() =
          flip ? Vec(-s.nrm[k]) : s.nrm[k];
    }
  }
  return out;
}

}  // namespace detail
}  // namespace caikongqu
