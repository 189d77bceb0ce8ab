#pragma once

// Clouds as drone and station surveys sample a stope's walls, anisotropically, and stopes with
// parts no scan saw, for the window and coverage tests and the accuracy benchmark.

#include <array>
#include <cstdint>
#include <vector>

#include "cloud_writer.h"
#include "void_shapes.h"

namespace voidvol_test {

// A drone flown along the middle of the box [low, high] (`y`, `z` the height of its path) with a
// rosette-pattern lidar looking ahead: first toward low x, from high x to low x, then back. Each
// of `frames` frames along the way sweeps one rose of seven petals `half_angle` degrees wide of
// `frame_points` returns, turned by the golden angle from the frame before, so returns lie
// centimetres apart along a petal and decimetres between petals; range noise 2 cm. Returns that
// meet the end wall at high x within `brow` ({y0, y1, z0, z1}) leave through the open brow and
// are not recorded.
std::vector<Point> rosette_flight(const std::array<double, 3>& low,
                                  const std::array<double, 3>& high, size_t frames,
                                  size_t frame_points, double half_angle,
                                  const std::array<double, 4>& brow, uint32_t seed);

// What stations see of the stope [0, length] x [0, width] x [0, height] with a pocket behind its
// side wall at y = width, between x0 and x1, that opens onto the stope only through a slot of
// `slot` above the floor under a ledge `ledge` thick (from y = width to width + ledge): `count`
// points over the stope's walls, the ledge's face and, seen through the slot, the strips of its
// underside and of the floor below it, spread and roughened as face_points does; the pocket
// beyond, which no station saw, has none. The pocket's own size adds to the true volume but
// leaves the points as they are.
std::vector<Point> ledge_pocket_points(double length, double width, double height, double x0,
                                       double x1, double slot, double ledge, size_t count,
                                       uint32_t seed);

}  // namespace voidvol_test
