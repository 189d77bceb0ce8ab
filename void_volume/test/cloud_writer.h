#pragma once

// Point clouds of known shape for the void volume tests, written as PCD text by hand so that
// the reader under test is not also the writer.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace voidvol_test {

using Point = std::array<float, 3>;

// `count` points spread uniformly over the sphere of `radius` around `centre`, drawn from a
// generator seeded with `seed`.
std::vector<Point> sphere_points(const Point& centre, float radius, size_t count, uint32_t seed);

// `count` points spread uniformly (by area) over the surface of the axis-aligned box with the
// given corners.
std::vector<Point> box_points(const Point& low, const Point& high, size_t count, uint32_t seed);

// An ASCII PCD file with the fields x y z (float), the given points and VIEWPOINT at `origin`
// (the point the normals are turned toward). Non-finite coordinates are written as nan / inf.
void write_xyz_pcd(const std::string& path, const std::vector<Point>& points,
                   const Point& origin = {0, 0, 0});

// As write_xyz_pcd, but with x, y, z as 8-byte floats: each point plus `shift`, added in double
// precision and written with 17 significant digits; the sensor origin at `origin` + `shift`.
void write_xyz_pcd_float64(const std::string& path, const std::vector<Point>& points,
                           const std::array<double, 3>& shift, const Point& origin = {0, 0, 0});

}  // namespace voidvol_test
