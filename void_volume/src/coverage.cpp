#include "coverage.h"

#include <flann/util/matrix.h>
#include <flann/util/params.h>

#include <algorithm>
#include <cmath>

namespace caikongqu {
namespace detail {

namespace {

// The nearest `count` points of each of the points numbered in `asked` into `found`, `count` to
// a row (-1 where there are fewer), and the squared distance of the last of each row.
void nearest(Index& index, const std::vector<float>& points, const std::vector<int>& asked,
             size_t count, std::vector<int>& found, std::vector<float>& last) {
  std::vector<float> queries(3 * asked.size());
  for (size_t i = 0; i < asked.size(); ++i) {
    std::copy_n(&points[3 * static_cast<size_t>(asked[i])], 3, &queries[3 * i]);
  }
  found.assign(asked.size() * count, -1);
  std::vector<float> distance(asked.size() * count, 0.0f);
  if (!asked.empty()) {
    flann::SearchParams params;
    params.cores = 0;
    const flann::Matrix<float> rows(queries.data(), asked.size(), 3);
    flann::Matrix<int> answers(found.data(), asked.size(), count);
    flann::Matrix<float> distances(distance.data(), asked.size(), count);
    index.knnSearch(rows, answers, distances, count, params);
  }
  last.resize(asked.size());
  for (size_t i = 0; i < asked.size(); ++i) last[i] = distance[i * count + count - 1];
}

}  // namespace

void keep_pattern_gaps(Index& index, const std::vector<float>& points,
                       const std::vector<int>& nearest_point, const std::vector<float>& gap,
                       double radii, std::vector<uint8_t>& unscanned) {
  if (points.size() / 3 <= kAreaPoints) return;
  const size_t count_flagged = static_cast<size_t>(
      std::count_if(unscanned.begin(), unscanned.end(), [](uint8_t u) { return u != 0; }));
  std::vector<size_t> flagged;
  std::vector<int> asked;
  flagged.reserve(count_flagged);
  asked.reserve(count_flagged);
  for (size_t t = 0; t < unscanned.size(); ++t) {
    if (unscanned[t] == 0 || nearest_point[t] < 0) continue;
    flagged.push_back(t);
    asked.push_back(nearest_point[t]);
  }
  if (flagged.empty()) return;

  // In blocks, so that the rows searched stay a fixed budget however much is flagged.
  const double scale = std::sqrt(static_cast<double>(kSpacingPoints) / kAreaPoints);
  const size_t width = kSpacingPoints + 1;
  std::vector<int> block, round, neighbours, wide;
  std::vector<float> unused, reach;
  std::vector<float> row(width);
  neighbours.reserve(kPatternBlock * width);
  for (size_t first = 0; first < flagged.size(); first += kPatternBlock) {
    const size_t count = std::min(kPatternBlock, flagged.size() - first);
    block.assign(asked.begin() + static_cast<std::ptrdiff_t>(first),
                 asked.begin() + static_cast<std::ptrdiff_t>(first + count));
    // The nearest point of each flagged triangle and its kSpacingPoints nearest, and the reach
    // of each of them to its kAreaPoints-th nearest.
    nearest(index, points, block, width, round, unused);
    neighbours.clear();
    for (size_t i = 0; i < round.size(); ++i) {
      neighbours.push_back(round[i] >= 0 ? round[i] : block[i / width]);
    }
    nearest(index, points, neighbours, kAreaPoints, wide, reach);
    for (size_t q = 0; q < count; ++q) {
      std::copy_n(&reach[q * width], width, row.begin());
      std::nth_element(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(width / 2),
                       row.end());
      const double across = scale * std::sqrt(static_cast<double>(row[width / 2]));
      const size_t t = flagged[first + q];
      if (static_cast<double>(gap[t]) <= radii * across) unscanned[t] = 0;
    }
  }
}

}  // namespace detail
}  // namespace caikongqu
