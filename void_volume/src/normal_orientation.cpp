#include "normal_orientation.h"

#include <flann/algorithms/dist.h>
#include <flann/algorithms/kdtree_single_index.h>
#include <flann/util/matrix.h>
#include <flann/util/params.h>

#include <Eigen/Eigenvalues>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
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

// The eigenvalues (ascending) and eigenvectors of the spread of the points at `pos` picked by
// `pick` (their scatter about their mean, in double precision).
Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> spread(const std::vector<Vec>& pos, const int* pick,
                                                      size_t count) {
  Eigen::Vector3d mean = Eigen::Vector3d::Zero();
  for (size_t i = 0; i < count; ++i) mean += pos[static_cast<size_t>(pick[i])].cast<double>();
  mean /= static_cast<double>(count);
  Eigen::Matrix3d scatter = Eigen::Matrix3d::Zero();
  for (size_t i = 0; i < count; ++i) {
    const Eigen::Vector3d d = pos[static_cast<size_t>(pick[i])].cast<double>() - mean;
    scatter.noalias() += d * d.transpose();
  }
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver;
  solver.computeDirect(scatter);
  return solver;
}

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

// Gives every point whose nearest neighbours are drawn out along a line (a scanner's ring, dense
// along the ring and far from the next one, the range noise its only spread across) the normal of
// the smallest neighbourhood, of 2, 4, ... times kNormalNeighbours points up to
// kMaxLineNeighbours, that is a flat patch (round and thin), where that normal and the estimated
// one are more than kLineTilt apart; turned toward `viewpoint`. The estimated normal of such a
// point lies anywhere across the line: it stands on the plane of the ring and the noise, not on
// the wall. A point near an edge or on a wall's rough patch finds no flat patch and keeps its
// normal, as does every point whose wider patch agrees with it. `found` holds the points' nearest
// neighbours (each point among its own). Returns the number of normals replaced, marked in
// `replaced`.
size_t replace_line_normals(const flann::KDTreeSingleIndex<flann::L2_Simple<float>>& index,
                            const std::vector<Vec>& pos, const flann::Matrix<int>& found,
                            const Vec& viewpoint, std::vector<Vec>& nrm,
                            std::vector<uint8_t>& replaced) {
  const size_t n = pos.size();
  const size_t k = found.cols;
  flann::SearchParams params;
  params.cores = 1;
  size_t count = 0;
  // Each point's answer depends on nothing but the points, so the threads change nothing.
#pragma omp parallel reduction(+ : count)
  {
    std::vector<int> wider_data(static_cast<size_t>(kMaxLineNeighbours));
    std::vector<float> wider_distance(static_cast<size_t>(kMaxLineNeighbours));
    std::vector<int> nearest(k);
#pragma omp for schedule(dynamic, 1024)
    for (std::ptrdiff_t t = 0; t < static_cast<std::ptrdiff_t>(n); ++t) {
      const auto r = static_cast<size_t>(t);
      if (!finite(nrm[r])) continue;
      size_t m = 0;
      for (size_t c = 0; c < k; ++c) {
        const int j = found[r][c];
        if (j >= 0 && static_cast<size_t>(j) < n) nearest[m++] = j;
      }
      if (m < 3) continue;
      const Eigen::Vector3d near = spread(pos, nearest.data(), m).eigenvalues();
      if (!(near(1) < kLineShare * near(2) && near(0) < kThinShare * near(1))) continue;
      for (int want = 2 * kNormalNeighbours; want <= kMaxLineNeighbours; want *= 2) {
        const size_t w = std::min(static_cast<size_t>(want), n);
        const flann::Matrix<float> query(const_cast<float*>(pos[r].data()), 1, 3);
        flann::Matrix<int> wider(wider_data.data(), 1, w);
        flann::Matrix<float> distances(wider_distance.data(), 1, w);
        index.knnSearch(query, wider, distances, w, params);
        const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> s = spread(pos, wider_data.data(), w);
        const Eigen::Vector3d& v = s.eigenvalues();
        if (v(1) >= kRoundShare * v(2) && v(0) < kThinShare * v(1)) {
          Vec normal = s.eigenvectors().col(0).cast<float>();
          if (std::fabs(normal.dot(nrm[r])) < std::cos(kLineTilt)) {
            if (normal.dot(viewpoint - pos[r]) < 0.0f) normal = -normal;
            nrm[r] = normal;
            replaced[r] = 1;
            ++count;
          }
          break;
        }
        if (w == n) break;
      }
    }
  }
  return count;
}

Graph neighbour_graph(std::vector<Vec>& pos, const Vec& viewpoint, std::vector<Vec>& nrm,
                      std::vector<uint8_t>& replaced, size_t& replaced_count) {
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
  replaced_count = replace_line_normals(index, pos, found, viewpoint, nrm, replaced);

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
  std::vector<uint8_t> replaced(n, 0);
  const Graph graph = neighbour_graph(pos, viewpoint, nrm, replaced, out.replaced);

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
    // A cluster that has no inside of its own (one ring of a scan, a strip of wall) gives its
    // centroid no side: the vote is near zero and says nothing, so the viewpoint's sign stays.
    const bool decided = std::fabs(vote) >= kDecisiveVote * static_cast<double>(usable);
    const bool propagate = decided && static_cast<double>(disagree) >
                                          kMaxViewpointDisagreement * static_cast<double>(usable);
    if (propagate) {
      ++out.propagated_clusters;
      out.flipped += disagree;
    }
    for (size_t o = begin; o < end; ++o) {
      const size_t k = static_cast<size_t>(walked[o]);
      if (!finite(nrm[k])) continue;
      const bool flip = propagate && (turn[k] ^ all) != 0;
      if (!flip && replaced[k] == 0) continue;
      normals[static_cast<size_t>(order[k])].getNormalVector3fMap() = flip ? Vec(-nrm[k]) : nrm[k];
    }
  }
  return out;
}

}  // namespace detail
}  // namespace caikongqu
