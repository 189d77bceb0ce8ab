#pragma once

// Coverage judged against the scan's own pattern. Lidars sample a wall along lines: the rings of
// a station, seen at grazing incidence metres apart with decimetres along each; the petals of a
// rosette scanner, centimetres along a petal and decimetres between petals; the swaths of a
// moving sensor. The nearest few points of such a pattern lie along one line, and their spacing
// says nothing of how far apart the lines are. A spot between two lines was scanned, however far
// it lies from the nearest point against the spacing along the lines; a spot no line crosses or
// borders was not.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "point_math.h"

namespace caikongqu {
namespace detail {

// The spacing across the lines: the distance to a point's kAreaPoints-th nearest, scaled by
// sqrt(kSpacingPoints / kAreaPoints) to the neighbour radius a wall sampled alike every way
// would give (the points in a disc grow with its area), taken as the median over the point and
// its kSpacingPoints nearest. Far enough out to reach the next line of a rosette's petals or a
// station's rings, so it measures how densely the wall is covered, not how closely one line is
// sampled; on a wall sampled alike every way it equals the neighbour radius.
constexpr size_t kAreaPoints = 32;
constexpr size_t kSpacingPoints = 8;
// Flagged triangles looked at in one search, which sets the step's memory (about 1.2 kB each).
constexpr size_t kPatternBlock = 4096;

// Clears the flag of every triangle in `unscanned` (1 for a triangle farther from every point
// than kUnscannedRadii of the local spacing) that lies within kUnscannedRadii of the spacing
// across the lines at its nearest point: a gap of the scan's pattern. `gap` holds each
// centroid's distance to its nearest point and `nearest_point` that point; `index` searches
// `points` (x, y, z of each), moved as the triangles' centroids were. Triangles whose flag is 0
// are left as they are, so a cloud without unscanned triangles costs nothing. Time O(u log n)
// for u flagged triangles; throws only std::bad_alloc.
void keep_pattern_gaps(Index& index, const std::vector<float>& points,
                       const std::vector<int>& nearest_point, const std::vector<float>& gap,
                       double radii, std::vector<uint8_t>& unscanned);

}  // namespace detail
}  // namespace caikongqu
