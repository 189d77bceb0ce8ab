#pragma once

// Walls of voids of known volume made of axis-aligned rectangles (boxes, an L-shaped stope),
// sampled with fixed seeds, for the void volume tests and the accuracy benchmark.

#include <array>
#include <cstdint>
#include <vector>

#include "cloud_writer.h"

namespace voidvol_test {

// One axis-aligned rectangle of a wall: perpendicular to `axis` at `level`, spanning
// low[k]..high[k] along the two other axes k (the entries of `axis` itself are unused).
struct Face {
  int axis;
  double level;
  std::array<double, 3> low;
  std::array<double, 3> high;
};

// The six faces of the box with corners `low` and `high`; the floor (the face at low z) first.
std::vector<Face> box_faces(const std::array<double, 3>& low, const std::array<double, 3>& high);

// An L-shaped stope standing on z = 0: a drive along x over [0, length] x [0, width] joined at
// its start by a drive along y over [0, width] x [0, length], both `height` high. Its volume is
// (2 * length - width) * width * height.
std::vector<Face> l_stope_faces(double length, double width, double height);

// The walls of a room [low, high] with square pillars standing from its floor to its roof, each
// pillar given as {x0, y0, x1, y1}: the room's faces and the pillars' sides, `count` points
// spread as face_points spreads them, those of the floor and roof within a pillar left out. The
// void is the room less the pillars, one piece with a hole through it per pillar.
std::vector<Point> pillar_room_points(const std::array<double, 3>& low,
                                      const std::array<double, 3>& high,
                                      const std::vector<std::array<double, 4>>& pillars,
                                      size_t count, uint32_t seed);

// `count` points spread uniformly by area over `faces`, each moved off its face by normal noise
// of standard deviation `noise`, then shifted by `offset` (in double precision, before the
// coordinates are rounded to float).
std::vector<Point> face_points(const std::vector<Face>& faces, size_t count, double noise,
                               uint32_t seed, const std::array<double, 3>& offset = {0, 0, 0});

// What a scanner standing at `station` inside the box [low, high] records: `count` returns along
// directions spread uniformly over the sphere, each where its ray meets a wall, off along the
// ray by normal noise of 1 cm + 0.1 % of the range (a survey lidar's), then shifted by `offset`.
// A near wall is sampled densely, a far one sparsely, as a real station samples them.
std::vector<Point> station_scan(const std::array<double, 3>& low, const std::array<double, 3>& high,
                                const std::array<double, 3>& station, size_t count, uint32_t seed,
                                const std::array<double, 3>& offset = {0, 0, 0});

// What a station scanner standing at `station` inside the box [low, high] records when it sweeps
// rings of constant elevation: one ring every `elevation_step` degrees from straight down up to
// the edge of a blind cone of `blind_cone` degrees around straight up, each of `ring_points`
// returns evenly spaced in azimuth from a random start, with the range noise of station_scan.
// Near the cone the rings are small circles, their points dense along a ring and far apart
// between rings; then shifted by `offset`.
std::vector<Point> ring_scan(const std::array<double, 3>& low, const std::array<double, 3>& high,
                             const std::array<double, 3>& station, double elevation_step,
                             size_t ring_points, double blind_cone, uint32_t seed,
                             const std::array<double, 3>& offset = {0, 0, 0});

}  // namespace voidvol_test
