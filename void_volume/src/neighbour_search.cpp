#include "neighbour_search.h"

#include <flann/util/matrix.h>
#include <flann/util/params.h>

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <utility>

namespace caikongqu {
namespace detail {

namespace {

// Queries searched in one batch: the size of the buffers besides the rows.
constexpr size_t kBatch = 16384;

}  // namespace

std::vector<int32_t> spatial_order(const pcl::PointCloud<pcl::PointXYZ>& points) {
  const size_t n = points.size();
  Eigen::Vector3f low = points[0].getVector3fMap(), high = low;
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

NeighbourSearch::NeighbourSearch(const pcl::PointCloud<pcl::PointXYZ>& points) {
  xyz_.reserve(3 * points.size());
  for (const auto& p : points) xyz_.insert(xyz_.end(), {p.x, p.y, p.z});
  kept_ = points.size();
  if (points.empty()) return;
  order_ = spatial_order(points);
  index_ = std::make_unique<Index>(flann::Matrix<float>(xyz_.data(), kept_, 3),
                                   flann::KDTreeSingleIndexParams(15));
  index_->buildIndex();
}

NeighbourSearch::~NeighbourSearch() = default;

NeighbourRows NeighbourSearch::rows(size_t width) const {
  const size_t n = xyz_.size() / 3;
  NeighbourRows out;
  out.width = std::min(width, n);
  out.index.assign(n * out.width, -1);
  if (out.width == 0) return out;
  // Asked in the spatial order, consecutive queries walk the same branches of the tree; each
  // answer is the same in any order.
  const size_t batch = std::min(n, kBatch);
  std::vector<float> queries(3 * batch);
  std::vector<int> found(batch * out.width);
  std::vector<float> distance(batch * out.width);
  flann::SearchParams params;
  params.cores = 0;
  for (size_t first = 0; first < n; first += kBatch) {
    const size_t m = std::min(kBatch, n - first);
    for (size_t q = 0; q < m; ++q) {
      std::copy_n(&xyz_[3 * static_cast<size_t>(order_[first + q])], 3, &queries[3 * q]);
    }
    const flann::Matrix<float> asked(queries.data(), m, 3);
    flann::Matrix<int> answers(found.data(), m, out.width);
    flann::Matrix<float> distances(distance.data(), m, out.width);
    index_->knnSearch(asked, answers, distances, out.width, params);
    for (size_t q = 0; q < m; ++q) {
      std::copy_n(&found[q * out.width], out.width,
                  &out.index[static_cast<size_t>(order_[first + q]) * out.width]);
    }
  }
  return out;
}

void NeighbourSearch::nearest(const float* at, size_t count, std::vector<int>& found,
                              std::vector<size_t>& scratch, std::vector<float>& distance) const {
  count = std::min(count, kept_);
  scratch.resize(count);
  distance.resize(count);
  found.resize(count);
  if (count == 0) return;
  flann::SearchParams params;
  params.cores = 1;
  const flann::Matrix<float> query(const_cast<float*>(at), 1, 3);
  flann::Matrix<size_t> indices(scratch.data(), 1, count);
  flann::Matrix<float> distances(distance.data(), 1, count);
  index_->knnSearch(query, indices, distances, count, params);
  for (size_t c = 0; c < count; ++c) {
    found[c] = number_.empty() ? static_cast<int>(scratch[c]) : number_[scratch[c]];
  }
}

void NeighbourSearch::leave_out(const std::vector<uint8_t>& keep, NeighbourRows& rows) {
  const size_t n = kept_;
  const size_t w = rows.width;
  if (point_.empty()) {
    point_.resize(n);
    std::iota(point_.begin(), point_.end(), 0u);
    number_.resize(n);
    std::iota(number_.begin(), number_.end(), 0);
  }
  // The new number of every point searched so far, -1 for those left out now.
  std::vector<int> renumber(n, -1);
  kept_ = 0;
  for (size_t i = 0; i < n; ++i) {
    if (keep[i]) {
      renumber[i] = static_cast<int>(kept_++);
    } else {
      index_->removePoint(point_[i]);
    }
  }
  for (int& number : number_) {
    if (number >= 0) number = renumber[static_cast<size_t>(number)];
  }
  // The rows that named a point left out, searched again among the kept points: near strays
  // or repeats only, so few.
  std::vector<size_t> again;
  for (size_t i = 0; i < n; ++i) {
    if (!keep[i]) continue;
    const int* row = rows.row(i);
    if (std::any_of(row, row + w,
                    [&keep](int j) { return j >= 0 && !keep[static_cast<size_t>(j)]; }))
      again.push_back(i);
  }
  std::vector<int> fresh(again.size() * w, -1);
#pragma omp parallel
  {
    std::vector<int> found;
    std::vector<size_t> scratch;
    std::vector<float> distance;
#pragma omp for schedule(dynamic, 64)
    for (std::ptrdiff_t a = 0; a < static_cast<std::ptrdiff_t>(again.size()); ++a) {
      const size_t k = static_cast<size_t>(a);
      nearest(&xyz_[3 * point_[again[k]]], w, found, scratch, distance);
      std::copy(found.begin(), found.end(), fresh.begin() + static_cast<std::ptrdiff_t>(k * w));
    }
  }
  // Every kept row moves to its new number, never past where it stood, so in place.
  size_t next = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!keep[i]) continue;
    const size_t to_number = static_cast<size_t>(renumber[i]);
    int* to = rows.index.data() + to_number * w;
    point_[to_number] = point_[i];
    if (next < again.size() && again[next] == i) {
      std::copy_n(fresh.begin() + static_cast<std::ptrdiff_t>(next * w), w, to);
      ++next;
      continue;
    }
    const int* from = rows.row(i);
    for (size_t c = 0; c < w; ++c)
      to[c] = from[c] < 0 ? -1 : renumber[static_cast<size_t>(from[c])];
  }
  rows.index.resize(kept_ * w);
  point_.resize(kept_);
}

}  // namespace detail
}  // namespace caikongqu
