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
  std::vector<size_t> flagged;
  std::vector<int> asked;
  for (size_t t = 0; t < unscanned.size(); ++t) {
    if (unscanned[t] == 0 || nearest_point[t] < 0) continue;
    flagged.push_back(t);
    asked.push_back(nearest_point[t]);
  }
  if (flagged.empty()) return;

  // The nearest point of each flagged triangle and its kSpacingPoints nearest.
  std::vector<int> round;
  std::vector<float> unused;
  nearest(index, points, asked, kSpacingPoints + 1, round, unused);
  std::vector<int> around;
  for (const int j : round) around.push_back(j >= 0 ? j : round.front());
  // Each one's reach to its kAreaPoints-th nearest.
  std::vector<int> wide;
  std::vector<float> reach;
  nearest(index, points, around, kAreaPoints, wide, reach);

  const double scale = std::sqrt(static_cast<double>(kSpacingPoints) / kAreaPoints);
  std::vector<float> row(kSpacingPoints + 1);
  for (size_t q = 0; q < flagged.size(); ++q) {
    std::copy_n(&reach[q * row.size()], row.size(), row.begin());
    std::nth_element(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(row.size() / 2),
                     row.end());
    const double across = scale * std::sqrt(static_cast<double>(row[row.size() / 2]));
    if (static_cast<double>(gap[flagged[q]]) <= radii * across) unscanned[flagged[q]] = 0;
  }
}

}  // namespace detail
}  // namespace caikongqu
