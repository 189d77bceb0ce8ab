#include "void_volume/volume_analyzer.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cloud_writer.h"
#include "output_rules.h"
#include "result_checks.h"
#include "testing/mesh_check.h"
#include "testing/temp_dir.h"
#include "void_shapes.h"

namespace {

using caikongqu::MeshFormat;
using caikongqu::VolumeAnalyzer;
using caikongqu::VolumeResult;
using voidvol_test::box_points;
using voidvol_test::Point;
using voidvol_test::sphere_points;
using voidvol_test::write_xyz_pcd;

const double kPi = std::acos(-1.0);

// Names of the entries of a directory, "." and ".." left out.
std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  return names;
}

// The header lines and the data lines of a PCD text file.
struct PcdText {
  std::vector<std::string> header;
  std::vector<std::string> data;
};

PcdText read_pcd_text(const std::string& path) {
  std::ifstream in(path);
  PcdText text;
  std::string line;
  bool in_data = false;
  while (std::getline(in, line)) {
    (in_data ? text.data : text.header).push_back(line);
    if (line.rfind("DATA", 0) == 0) in_data = true;
  }
  return text;
}

class VolumeAnalyzerTest : public ::testing::Test {
 protected:
  // Writes `points` as <in>/<name> and analyses it into the output directory.
  VolumeResult analyze(const std::vector<Point>& points, const Point& origin, int depth,
                       const std::string& name = "cloud.pcd") {
    write_xyz_pcd(in_.file(name), points, origin);
    return VolumeAnalyzer::analyze(in_.file(name), depth, out_.path());
  }

  drone_test::TempDir in_;
  drone_test::TempDir out_;
};

TEST_F(VolumeAnalyzerTest, SolidsOfKnownVolume) {
  struct Case {
    const char* name;
    std::vector<Point> points;
    Point origin;   // a point inside the solid, where a scanner would stand
    double volume;  // the true volume
    Point centre;   // for the check that the saved vertices lie on the surface
    double radius;  // sphere radius; 0 for the box
  };
  const Case cases[] = {
      {"sphere",
       sphere_points({0.2f, -0.3f, 0.1f}, 1.0f, 2000, 7),
       {0.2f, -0.3f, 0.1f},
       4.0 / 3.0 * kPi,
       {0.2f, -0.3f, 0.1f},
       1.0},
      {"box",
       box_points({-1, -0.75f, -0.5f}, {1, 0.75f, 0.5f}, 2000, 11),
       {0, 0, 0},
       3.0,
       {0, 0, 0},
       0.0},
      // A large void far from the coordinate origin, in the units of a site grid.
      {"far sphere",
       sphere_points({1000, 2000, 30}, 50.0f, 2000, 5),
       {1000, 2000, 30},
       4.0 / 3.0 * kPi * 50 * 50 * 50,
       {1000, 2000, 30},
       50.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VolumeResult r = analyze(c.points, c.origin, 6);
    ASSERT_TRUE(r.success) << r.error_message;
    EXPECT_TRUE(r.error_message.empty());
    EXPECT_EQ(r.points_count, c.points.size());
    EXPECT_GT(r.mesh_polygons, 1000u);
    ASSERT_EQ(r.component_volumes.size(), 1u);
    EXPECT_EQ(r.total_volume, r.component_volumes[0]);
    EXPECT_NEAR(r.total_volume, c.volume, 0.02 * c.volume);
    ASSERT_EQ(r.output_path, out_.path() + "/cloud_reconstructed.pcd");

    // The saved file: ASCII, x y z only, one line per mesh vertex, eight significant digits.
    const PcdText text = read_pcd_text(r.output_path);
    std::vector<std::string> keys;
    size_t points = 0;
    for (const std::string& line : text.header) {
      std::istringstream words(line);
      std::string key;
      words >> key;
      keys.push_back(key);
      if (key == "FIELDS") {
        EXPECT_EQ(line, "FIELDS x y z");
      } else if (key == "TYPE") {
        EXPECT_EQ(line, "TYPE F F F");
      } else if (key == "POINTS") {
        words >> points;
      } else if (key == "DATA") {
        EXPECT_EQ(line, "DATA ascii");
      }
    }
    EXPECT_NE(std::find(keys.begin(), keys.end(), "POINTS"), keys.end());
    ASSERT_EQ(text.data.size(), points);
    ASSERT_GT(points, 500u);
    for (const std::string& line : text.data) {
      std::istringstream words(line);
      double p[3];
      ASSERT_TRUE(words >> p[0] >> p[1] >> p[2]) << line;
      std::string rest;
      EXPECT_FALSE(words >> rest) << line;
      // No coordinate carries more than eight significant digits.
      std::istringstream again(line);
      std::string token;
      while (again >> token) {
        size_t digits = 0;
        bool leading = true;
        for (const char ch : token.substr(0, token.find_first_of("eE"))) {
          if (ch < '0' || ch > '9') continue;
          if (ch != '0') leading = false;
          if (!leading) ++digits;
        }
        EXPECT_LE(digits, 8u) << token;
      }
      if (c.radius > 0) {
        const double d = std::sqrt((p[0] - c.centre[0]) * (p[0] - c.centre[0]) +
                                   (p[1] - c.centre[1]) * (p[1] - c.centre[1]) +
                                   (p[2] - c.centre[2]) * (p[2] - c.centre[2]));
        EXPECT_NEAR(d, c.radius, 0.05 * c.radius) << line;
      }
    }
  }
}

TEST_F(VolumeAnalyzerTest, SavedMeshIsAClosedSolidPerPiece) {
  // What independent readers find in the saved mesh: every piece closed, facing out of the void,
  // its signed volume the one measured; whatever the shape, the format or the coordinates.
  std::vector<Point> two = sphere_points({-3, 0, 0}, 1.0f, 1500, 3);
  const std::vector<Point> other = sphere_points({3, 0, 0}, 1.0f, 1500, 4);
  two.insert(two.end(), other.begin(), other.end());
  std::vector<Point> strays = sphere_points({0, 0, 0}, 1.0f, 2000, 9);
  for (const Point& p : sphere_points({0, 0, 0}, 20.0f, 5, 10)) strays.push_back(p);
  struct Case {
    const char* name;
    std::vector<Point> points;
    Point origin;
    int depth;
    MeshFormat format;
    double volume;  // the true volume, within 3 %
    size_t pieces;
    std::array<double, 3> site;  // where an 8-byte float file moves the points; 0: 4-byte floats
  };
  const Case cases[] = {
      {"box",
       box_points({-1, -0.75f, -0.5f}, {1, 0.75f, 0.5f}, 3000, 11),
       {0, 0, 0},
       6,
       MeshFormat::kPly,
       3.0,
       1,
       {0, 0, 0}},
      {"two separate voids", two, {-3, 0, 0}, 6, MeshFormat::kObj, 8.0 / 3.0 * kPi, 2, {0, 0, 0}},
      // A room with two pillars from floor to roof: one piece with two holes through it.
      {"room with pillars",
       voidvol_test::pillar_room_points({0, 0, 0}, {12, 8, 4}, {{3, 3, 5, 5}, {7, 3, 9, 5}}, 20000,
                                        12),
       {1, 1, 2},
       7,
       MeshFormat::kDxf,
       12 * 8 * 4 - 2 * 16.0,
       1,
       {0, 0, 0}},
      {"sphere with strays", strays, {0, 0, 0}, 6, MeshFormat::kStl, 4.0 / 3.0 * kPi, 1, {0, 0, 0}},
      {"box at site coordinates",
       box_points({-4, -2, -1.5f}, {4, 2, 1.5f}, 3000, 13),
       {0, 0, 0},
       6,
       MeshFormat::kDxf,
       96.0,
       1,
       {512345.25, 4312345.5, 120.125}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = in_.file(c.name + std::string(".pcd"));
    if (c.site[0] != 0) {
      voidvol_test::write_xyz_pcd_float64(input, c.points, c.site, c.origin);
    } else {
      write_xyz_pcd(input, c.points, c.origin);
    }
    const VolumeResult r = VolumeAnalyzer::analyze(input, c.depth, out_.path(), true, c.format);
    ASSERT_TRUE(r.success) << r.error_message;
    EXPECT_NEAR(r.total_volume, c.volume, 0.03 * c.volume);
    EXPECT_EQ(r.mesh_open_pieces, 0u);
    const drone_test::MeshCheck read = drone_test::check_mesh(r.mesh_path);
    ASSERT_TRUE(read.read) << read.error;
    EXPECT_EQ(read.degenerate, 0);
    EXPECT_EQ(read.boundary, 0);
    EXPECT_EQ(read.nonmanifold, 0);
    EXPECT_EQ(read.misoriented, 0);
    EXPECT_EQ(read.pieces.size(), c.pieces);
    for (const double v : read.pieces) EXPECT_GT(v, 0.0);
    // The volume is measured on the surface as reconstructed, holes and all: a hole adds the
    // cone from the coordinate origin over it, which the saved solid covers (3.7e-6 m3 of 3 on
    // the box, whose reconstruction left out two triangles).
    const double measured = r.total_volume + r.nested_volume + r.thin_volume;
    EXPECT_NEAR(read.volume, measured, 1e-5 * measured);
  }
}

TEST_F(VolumeAnalyzerTest, StlMeshOfSiteCoordinatesIsRefusedBeforeAnything) {
  // STL holds 4-byte floats: at y = 4.3 million m their step is 0.5 m. The run stops before the
  // reconstruction and writes nothing; the same cloud saves its mesh as PLY.
  const std::string input = in_.file("site.pcd");
  voidvol_test::write_xyz_pcd_float64(input, box_points({-4, -2, -1.5f}, {4, 2, 1.5f}, 3000, 13),
                                      {512345.25, 4312345.5, 120.125});
  const VolumeResult r = VolumeAnalyzer::analyze(input, 6, out_.path(), true, MeshFormat::kStl);
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.error_message.rfind("STL keeps coordinates as 4-byte floats, too coarse for this "
                                  "cloud's site coordinates: y = 4312347",
                                  0),
            0u)
      << r.error_message;
  EXPECT_EQ(r.mesh_polygons, 0u);
  EXPECT_TRUE(entries(out_.path()).empty());
  EXPECT_TRUE(VolumeAnalyzer::analyze(input, 6, out_.path(), true, MeshFormat::kPly).success);
}

TEST_F(VolumeAnalyzerTest, TwoSeparateVoidsAreTwoComponents) {
  // The sensor origin lies inside one void only; the other one is oriented on its own.
  std::vector<Point> points = sphere_points({-3, 0, 0}, 1.0f, 1500, 3);
  const std::vector<Point> other = sphere_points({3, 0, 0}, 1.0f, 1500, 4);
  points.insert(points.end(), other.begin(), other.end());
  const VolumeResult r = analyze(points, {-3, 0, 0}, 6);
  ASSERT_TRUE(r.success) << r.error_message;
  EXPECT_EQ(r.points_count, 3000u);
  ASSERT_EQ(r.component_volumes.size(), 2u);
  const double sphere = 4.0 / 3.0 * kPi;
  EXPECT_NEAR(r.component_volumes[0], sphere, 0.02 * sphere);
  EXPECT_NEAR(r.component_volumes[1], sphere, 0.02 * sphere);
  EXPECT_DOUBLE_EQ(r.total_volume, r.component_volumes[0] + r.component_volumes[1]);
}

TEST_F(VolumeAnalyzerTest, ProgressRisesStepByStepToTheEnd) {
  write_xyz_pcd(in_.file("ball.pcd"), sphere_points({0, 0, 0}, 1.0f, 1500, 5), {0, 0, 0});
  std::vector<double> shares;
  const VolumeResult r =
      VolumeAnalyzer::analyze(in_.file("ball.pcd"), 5, out_.path(), false, MeshFormat::kPly,
                              [&shares](double f) { shares.push_back(f); });
  ASSERT_TRUE(r.success) << r.error_message;
  ASSERT_GE(shares.size(), 4u);
  EXPECT_GT(shares.front(), 0.0);
  EXPECT_TRUE(std::is_sorted(shares.begin(), shares.end()));
  EXPECT_EQ(std::adjacent_find(shares.begin(), shares.end()), shares.end());
  EXPECT_EQ(shares.back(), 1.0);
}

// 64-bit FNV-1a of a file's bytes.
uint64_t file_hash(const std::string& path) {
  uint64_t h = 1469598103934665603ull;
  for (const unsigned char c : drone_test::read_file(path)) h = (h ^ c) * 1099511628211ull;
  return h;
}

TEST_F(VolumeAnalyzerTest, NormalsAreOrientedConsistently) {
  using voidvol_test::box_faces;
  using voidvol_test::face_points;
  const std::array<double, 3> site{1000, 2000, 300};
  std::vector<Point> two_spheres = sphere_points({-3, 0, 0}, 1.0f, 1500, 81);
  const std::vector<Point> second = sphere_points({3, 0, 0}, 1.0f, 1500, 82);
  two_spheres.insert(two_spheres.end(), second.begin(), second.end());
  const double sphere = 4.0 / 3.0 * kPi;
  struct Case {
    const char* name;
    std::vector<Point> points;
    Point origin;
    std::vector<double> volumes;  // true volume of each piece, in order
    double tolerance;             // relative
    // The output as the sensor origin alone oriented it, where that was already consistent:
    // the number of polygons, the total volume and a hash of the saved cloud. 0: not checked.
    size_t polygons = 0;
    const char* total = "";
    uint64_t hash = 0;
  };
  const Case cases[] = {
      // An 8 x 4 x 3 m stope in site coordinates, the sensor origin left at 0 0 0.
      {"far from the origin",
       face_points(box_faces({0, 0, 0}, {8, 4, 3}), 3000, 0.02, 83, site),
       {0, 0, 0},
       {96.0},
       0.02},
      {"two voids, origin between them", two_spheres, {0, 0, 0}, {sphere, sphere}, 0.02},
      // Two 16 m drives joined at a right angle, seen from inside the first: the inner wall of
      // the second faces away from the origin.
      {"L-shaped",
       face_points(voidvol_test::l_stope_faces(16, 2, 2.5), 4000, 0.01, 84),
       {8, 1, 1.25f},
       {(2 * 16.0 - 2) * 2 * 2.5},
       0.03},
      // Every wall visible from the origin: exactly what the origin alone gave.
      {"scanned from inside",
       face_points(box_faces({0, 0, 0}, {8, 4, 3}), 3000, 0.02, 101),
       {4, 2, 1.5f},
       {96.0},
       0.02,
       14388,
       "96.704085",
       0x910412af446bda8full},
      {"sphere scanned from inside",
       sphere_points({0.2f, -0.3f, 0.1f}, 1.0f, 2000, 7),
       {0.2f, -0.3f, 0.1f},
       {sphere},
       0.02,
       8032,
       "4.186300",
       0x103b90dc70787c4cull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VolumeResult r = analyze(c.points, c.origin, 6);
    ASSERT_TRUE(r.success) << r.error_message;
    ASSERT_EQ(r.component_volumes.size(), c.volumes.size());
    for (size_t i = 0; i < c.volumes.size(); ++i) {
      EXPECT_NEAR(r.component_volumes[i], c.volumes[i], c.tolerance * c.volumes[i]);
    }
    if (c.polygons == 0) continue;
    EXPECT_EQ(r.mesh_polygons, c.polygons);
    char total[64];
    std::snprintf(total, sizeof total, "%.6f", r.total_volume);
    EXPECT_STREQ(total, c.total);
    EXPECT_EQ(file_hash(r.output_path), c.hash);
  }
}

TEST_F(VolumeAnalyzerTest, CleanCloudsKeepTheirRecordedOutput) {
  // Clouds without strays, in metres and millimetres, local and in site coordinates, dense and
  // sparse: nothing is left out, and the result is what it was before any point was judged.
  using voidvol_test::box_faces;
  using voidvol_test::face_points;
  std::vector<Point> two_spheres = sphere_points({-3, 0, 0}, 1.0f, 1500, 3);
  const std::vector<Point> second = sphere_points({3, 0, 0}, 1.0f, 1500, 4);
  two_spheres.insert(two_spheres.end(), second.begin(), second.end());
  std::vector<Point> holed, uneven;
  for (const Point& p : face_points(box_faces({0, 0, 0}, {8, 4, 3}), 3000, 0.02, 102)) {
    if (!(p[0] > 7.9f && p[1] > 1.5f && p[1] < 2.5f && p[2] < 1.0f)) holed.push_back(p);
  }
  size_t i = 0;
  for (const Point& p : face_points(box_faces({0, 0, 0}, {8, 4, 3}), 6000, 0.02, 103)) {
    if (p[0] >= 4.0f || i++ % 10 == 0) uneven.push_back(p);
  }
  struct Case {
    const char* name;
    std::vector<Point> points;
    Point origin;
    size_t polygons;
    const char* total;
    uint64_t hash;
  };
  const Case cases[] = {
      {"box",
       box_points({-1, -0.75f, -0.5f}, {1, 0.75f, 0.5f}, 2000, 11),
       {0, 0, 0},
       5920,
       "2.998543",
       0x908bfde88e83de7aull},
      {"far sphere",
       sphere_points({1000, 2000, 30}, 50.0f, 2000, 5),
       {1000, 2000, 30},
       8036,
       "523315.829392",
       0x8b8a4bc98bd5e71dull},
      {"millimetres",
       sphere_points({5000, -3000, 200}, 1000.0f, 2000, 8),
       {5000, -3000, 200},
       8036,
       "4185578558.372303",
       0xa3662ead959929dfull},
      {"two voids", two_spheres, {-3, 0, 0}, 4108, "8.365848", 0x55e311b257b4c0abull},
      {"holed wall", holed, {4, 2, 1.5f}, 14572, "96.608576", 0xe6f37ec8358ba5f9ull},
      {"density 10:1", uneven, {4, 2, 1.5f}, 9510, "96.007499", 0xf04471074340851aull},
      {"site coordinates",
       face_points(box_faces({0, 0, 0}, {8, 4, 3}), 3000, 0.02, 104, {512345, 401234, 120}),
       {512349, 401236, 121.5f},
       14534,
       "96.761968",
       0x4b8f1cb2a67b7933ull},
      {"twenty points",
       sphere_points({0, 0, 0}, 1.0f, 20, 52),
       {0, 0, 0},
       7033,
       "0.304303",
       0x270364d3ffe2bcfbull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VolumeResult r = analyze(c.points, c.origin, 6);
    ASSERT_TRUE(r.success) << r.error_message;
    char total[64];
    std::snprintf(total, sizeof total, "%.6f", r.total_volume);
    EXPECT_EQ(r.mesh_polygons, c.polygons);
    EXPECT_STREQ(total, c.total);
    EXPECT_EQ(file_hash(r.output_path), c.hash);
  }
}

TEST_F(VolumeAnalyzerTest, SiteCoordinatesInDoublePrecision) {
  // An 8 x 4 x 3 m stope at y = 4.3 million m: in 8-byte floats it is measured as near the
  // origin and written back in its own coordinates, 8-byte floats again; in 4-byte floats,
  // whose step there is 0.5 m, it is refused with what was found and how to export it instead.
  using voidvol_test::box_faces;
  using voidvol_test::face_points;
  const std::vector<Point> local = face_points(box_faces({0, 0, 0}, {8, 4, 3}), 3000, 0.02, 104);
  const std::array<double, 3> site{512345.25, 4312345.5, 120.125};
  const VolumeResult near = analyze(local, {4, 2, 1.5f}, 6, "near.pcd");
  ASSERT_TRUE(near.success) << near.error_message;

  const std::string input = in_.file("site.pcd");
  voidvol_test::write_xyz_pcd_float64(input, local, site, {4, 2, 1.5f});
  const VolumeResult r = VolumeAnalyzer::analyze(input, 6, out_.path(), true);
  ASSERT_TRUE(r.success) << r.error_message;
  EXPECT_NEAR(r.total_volume, near.total_volume, 1e-3 * near.total_volume);
  const PcdText text = read_pcd_text(r.output_path);
  EXPECT_NE(std::find(text.header.begin(), text.header.end(), "SIZE 8 8 8"), text.header.end());
  ASSERT_FALSE(text.data.empty());
  for (const std::string& line : {text.data.front(), text.data.back()}) {
    std::istringstream in(line);
    double x = 0, y = 0, z = 0;
    ASSERT_TRUE(in >> x >> y >> z) << line;
    EXPECT_NEAR(x, site[0] + 4, 4.5);
    EXPECT_NEAR(y, site[1] + 2, 2.5);
    EXPECT_NEAR(z, site[2] + 1.5, 2.0);
  }
  const std::string ply = drone_test::read_file(r.mesh_path);
  EXPECT_NE(ply.find("property double x\nproperty double y\nproperty double z\n"),
            std::string::npos);

  std::vector<Point> single;
  single.reserve(local.size());
  for (const Point& p : local) {
    single.push_back({static_cast<float>(p[0] + site[0]), static_cast<float>(p[1] + site[1]),
                      static_cast<float>(p[2] + site[2])});
  }
  const VolumeResult coarse = analyze(single, {0, 0, 0}, 6, "coarse.pcd");
  EXPECT_FALSE(coarse.success);
  EXPECT_EQ(coarse.error_message.rfind("Coordinates too coarse for single precision: y = 43123", 0),
            0u)
      << coarse.error_message;
  EXPECT_NE(coarse.error_message.find("whose step there is 0.5, coarser than the point spacing"),
            std::string::npos)
      << coarse.error_message;
}

TEST_F(VolumeAnalyzerTest, RepeatsCountOnceAndStraysMergeNothingReal) {
  // A closed void like the demo's (an ellipsoid of 6 x 4 x 3 m semi-axes, 10,000 points) with
  // every point repeated a float step or a tenth of a millimetre off (re-exported keyframes), a
  // stray 10,000 km off, or in site coordinates with one point at the coordinate origin: the
  // clean cloud's volume within 0.1 %, exactly the copies counted once, and no real point lost.
  std::vector<Point> clean;
  for (const Point& p : sphere_points({0, 0, 0}, 1.0f, 10000, 93)) {
    clean.push_back({6 * p[0], 4 * p[1], 3 * p[2]});
  }
  const VolumeResult reference = analyze(clean, {0, 0, 0}, 7, "clean.pcd");
  ASSERT_TRUE(reference.success) << reference.error_message;
  ASSERT_EQ(reference.duplicate_points, 0u);
  const std::array<double, 3> site{512345.25, 4312345.5, 120.125};
  struct Case {
    const char* name;
    int copies;        // of every point, the original included
    float offset;      // of each copy from the original; 0: a float step on every axis
    bool far_stray;    // one point 10,000 km off
    bool site_origin;  // 8-byte site coordinates, one point at (0, 0, 0)
  };
  const Case cases[] = {
      {"two copies a float step apart", 2, 0, false, false},
      {"five copies a float step apart", 5, 0, false, false},
      {"two copies 0.1 mm apart", 2, 1e-4f, false, false},
      {"three copies 0.1 mm apart", 3, 1e-4f, false, false},
      {"eight copies 0.1 mm apart", 8, 1e-4f, false, false},
      {"a stray 10,000 km off", 1, 0, true, false},
      {"site coordinates with a point at the origin", 1, 0, false, true},
      {"three copies 0.1 mm apart in site coordinates with a point at the origin", 3, 1e-4f, false,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Point> points;
    for (const Point& p : clean) {
      for (int copy = 0; copy < c.copies; ++copy) {
        Point q = p;
        for (int k = 0; k < 3 && copy > 0; ++k) {
          const float sign = ((copy >> k) & 1) != 0 ? 1.0f : -1.0f;
          q[k] = c.offset > 0 ? q[k] + sign * c.offset / std::sqrt(3.0f)
                              : std::nextafter(q[k], sign * HUGE_VALF);
        }
        points.push_back(q);
      }
    }
    if (c.far_stray) points.push_back({1e7f, 0, 0});
    const std::string input = in_.file("repeated.pcd");
    if (c.site_origin) {
      points.push_back({static_cast<float>(-site[0]), static_cast<float>(-site[1]),
                        static_cast<float>(-site[2])});
      voidvol_test::write_xyz_pcd_float64(input, points, site, {0, 0, 0});
    } else {
      write_xyz_pcd(input, points);
    }
    const VolumeResult r = VolumeAnalyzer::analyze(input, 7, out_.path());
    ASSERT_TRUE(r.success) << r.error_message;
    EXPECT_EQ(r.duplicate_points, clean.size() * static_cast<size_t>(c.copies - 1));
    EXPECT_EQ(r.stray_points, c.far_stray || c.site_origin ? 1u : 0u);
    EXPECT_NEAR(r.total_volume, reference.total_volume, 1e-3 * reference.total_volume);
  }
}

TEST_F(VolumeAnalyzerTest, SeparateThinVoidsAreVoidsAndSpikesAreNot) {
  // A room with, beside it, a long drift or a tube of its own behind rock, wherever the VIEWPOINT
  // lies, is two voids; a drill hole leaving the room's roof, sampled as densely as the room, is
  // no void of its own, however dense the sampling.
  using voidvol_test::box_faces;
  using voidvol_test::face_points;
  auto with = [](std::vector<Point> points, const std::vector<Point>& more) {
    points.insert(points.end(), more.begin(), more.end());
    return points;
  };
  const std::vector<Point> room = face_points(box_faces({0, 0, 0}, {8, 4, 3}), 6000, 0.01, 94);
  const std::vector<Point> drift =
      face_points(box_faces({-4, 4.8, 0}, {12, 5.6, 1}), 2600, 0.01, 95);
  const std::vector<Point> tube =
      face_points(box_faces({1.5, 4.5, 1}, {6.5, 4.9, 1.4}), 1000, 0.005, 96);
  std::vector<Point> hole;
  std::mt19937 gen(97);
  for (int i = 0; i < 300; ++i) {
    const double a = 2 * kPi * (gen() / 4294967296.0), up = 2.0 * (gen() / 4294967296.0);
    hole.push_back({static_cast<float>(2 + 0.15 * std::cos(a)),
                    static_cast<float>(1.5 + 0.15 * std::sin(a)), static_cast<float>(2.5 + up)});
  }
  struct Case {
    const char* name;
    std::vector<Point> points;
    Point origin;
    std::vector<double> volumes;  // the true volume of each void, within 3 %, largest first
  };
  const Case cases[] = {
      {"a drift 0.8 m wide and 16 m long, 0.8 m of rock away, VIEWPOINT in the room",
       with(room, drift),
       {4, 2, 1.5f},
       {96, 12.8}},
      {"the same, VIEWPOINT far off", with(room, drift), {-500, -300, 0}, {96, 12.8}},
      {"a tube 0.4 m wide, 0.5 m of rock away, thinner than the room's spacing",
       with(room, tube),
       {4, 2, 1.5f},
       {96, 0.8}},
      {"a drill hole 0.3 m wide up from the roof of a densely sampled room",
       with(face_points(box_faces({0, 0, 0}, {4, 3, 2.5}), 24000, 0.005, 98), hole),
       {2, 1.5f, 1.25f},
       {30}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VolumeResult r = analyze(c.points, c.origin, 7);
    ASSERT_TRUE(r.success) << r.error_message;
    std::vector<double> volumes = r.component_volumes;
    std::sort(volumes.rbegin(), volumes.rend());
    ASSERT_EQ(volumes.size(), c.volumes.size());
    for (size_t k = 0; k < volumes.size(); ++k) {
      EXPECT_NEAR(volumes[k], c.volumes[k], 0.03 * c.volumes[k]) << k;
    }
  }
}

TEST_F(VolumeAnalyzerTest, VolumeAboveTheConvexHullFails) {
  // Both volumes and the likely causes; a volume up to 25 % above the hull passes.
  EXPECT_EQ(caikongqu::detail::check_against_hull(125.0, 100.0), "");
  EXPECT_EQ(caikongqu::detail::check_against_hull(0.0, 0.0), "");
  EXPECT_EQ(caikongqu::detail::check_against_hull(125.5, 100.0),
            "Reconstructed volume 125.500000 exceeds the volume 100.000000 of the points' "
            "convex hull by more than 25 %: the normals are likely inconsistent, several voids "
            "touch, or a large part of the void was not scanned");

  // A bowl, the lower half of a sphere: the reconstruction closes its open side with a bulge.
  std::vector<Point> bowl;
  for (const Point& p : sphere_points({0, 0, 0}, 1.0f, 3000, 91)) {
    if (p[2] < 0) bowl.push_back(p);
  }
  const VolumeResult r = analyze(bowl, {0, 0, -0.5f}, 6);
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.error_message.rfind("Reconstructed volume ", 0), 0u) << r.error_message;
  EXPECT_NE(r.error_message.find("of the points' convex hull by more than 25 %"),
            std::string::npos);
  EXPECT_GT(r.total_volume, 0.0);
  EXPECT_TRUE(r.output_path.empty());
  EXPECT_TRUE(entries(out_.path()).empty());
}

TEST_F(VolumeAnalyzerTest, OutputFileIsNamedAfterTheInput) {
  const std::vector<Point> points = sphere_points({0, 0, 0}, 1.0f, 300, 21);
  struct Case {
    const char* input;
    std::string dir;
    std::string expected;
  };
  const Case cases[] = {
      {"scan.part2.pcd", out_.path(), out_.path() + "/scan.part2_reconstructed.pcd"},
      {"cloud", out_.path(), out_.path() + "/cloud_reconstructed.pcd"},
      {".pcd", out_.path() + "/", out_.path() + "//_reconstructed.pcd"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    write_xyz_pcd(in_.file(c.input), points);
    const VolumeResult r = VolumeAnalyzer::analyze(in_.file(c.input), 5, c.dir);
    ASSERT_TRUE(r.success) << r.error_message;
    EXPECT_EQ(r.output_path, c.expected);
    EXPECT_FALSE(read_pcd_text(r.output_path).data.empty());
  }
  EXPECT_EQ(entries(out_.path()).size(), 3u);
}

TEST_F(VolumeAnalyzerTest, DepthIsClampedBeforeReconstruction) {
  // The mesh at depth 5 differs from the one at 6; depths 4 and below must give the one at 5.
  const std::vector<Point> points = sphere_points({0, 0, 0}, 1.0f, 800, 31);
  const VolumeResult at5 = analyze(points, {0, 0, 0}, 5);
  const VolumeResult at6 = analyze(points, {0, 0, 0}, 6);
  ASSERT_TRUE(at5.success && at6.success);
  ASSERT_NE(at5.mesh_polygons, at6.mesh_polygons);
  for (const int depth : {4, 0, -3}) {
    SCOPED_TRACE(depth);
    const VolumeResult r = analyze(points, {0, 0, 0}, depth);
    ASSERT_TRUE(r.success);
    EXPECT_EQ(r.mesh_polygons, at5.mesh_polygons);
    EXPECT_EQ(r.component_volumes, at5.component_volumes);
  }
}

TEST_F(VolumeAnalyzerTest, NonFinitePointsAreLeftOutButCounted) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<Point> clean = sphere_points({0, 0, 0}, 1.0f, 1000, 41);
  std::vector<Point> dirty;
  for (size_t i = 0; i < clean.size(); ++i) {
    if (i % 40 == 0) dirty.push_back({nan, nan, nan});
    if (i % 97 == 0) dirty.push_back({0.5f, -inf, 0.1f});
    if (i % 130 == 0) dirty.push_back({inf, 0.0f, nan});
    dirty.push_back(clean[i]);
  }
  const VolumeResult expected = analyze(clean, {0, 0, 0}, 5, "clean.pcd");
  const VolumeResult r = analyze(dirty, {0, 0, 0}, 5, "dirty.pcd");
  ASSERT_TRUE(expected.success) << expected.error_message;
  ASSERT_TRUE(r.success) << r.error_message;
  EXPECT_EQ(r.points_count, dirty.size());
  EXPECT_GT(dirty.size(), clean.size() + 30);
  EXPECT_EQ(r.mesh_polygons, expected.mesh_polygons);
  ASSERT_EQ(r.component_volumes.size(), expected.component_volumes.size());
  for (size_t i = 0; i < r.component_volumes.size(); ++i) {
    EXPECT_NEAR(r.component_volumes[i], expected.component_volumes[i], 1e-9);
  }
  EXPECT_NEAR(r.total_volume, 4.0 / 3.0 * kPi, 0.03 * 4.0 / 3.0 * kPi);
}

TEST_F(VolumeAnalyzerTest, TooFewFinitePointsFailBeforeReconstruction) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    std::vector<Point> points;
    const char* count_text;
  };
  std::vector<Point> nineteen = sphere_points({0, 0, 0}, 1.0f, 19, 51);
  std::vector<Point> nineteen_and_nans = nineteen;
  for (int i = 0; i < 30; ++i) nineteen_and_nans.push_back({nan, 1.0f, 2.0f});
  const Case cases[] = {
      {"empty", {}, ": 0 finite of 0 read, at least 20 needed"},
      {"nineteen", nineteen, ": 19 finite of 19 read, at least 20 needed"},
      {"nineteen among invalid", nineteen_and_nans, ": 19 finite of 49 read, at least 20 needed"},
      {"all invalid", std::vector<Point>(25, Point{nan, nan, nan}),
       ": 0 finite of 25 read, at least 20 needed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VolumeResult r = analyze(c.points, {0, 0, 0}, 6);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.error_message,
              std::string("Too few valid points to reconstruct a surface") + c.count_text);
    EXPECT_EQ(r.points_count, c.points.size());
    EXPECT_EQ(r.mesh_polygons, 0u);
    EXPECT_TRUE(r.component_volumes.empty());
    EXPECT_TRUE(r.output_path.empty());
  }
  EXPECT_TRUE(entries(out_.path()).empty());

  // Twenty finite points are enough to go on.
  const VolumeResult r = analyze(sphere_points({0, 0, 0}, 1.0f, 20, 52), {0, 0, 0}, 5);
  EXPECT_TRUE(r.success) << r.error_message;
  EXPECT_EQ(r.points_count, 20u);
}

TEST_F(VolumeAnalyzerTest, InputThatCannotBeReadFailsWithoutWriting) {
  const std::string header =
      "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 50\nHEIGHT 1\n"
      "POINTS 50\n";
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 7919) & 0xff);
  // The reader would take every line for a point of zeros, with a warning only.
  std::string one_value_lines;
  for (int i = 0; i < 50; ++i) one_value_lines += std::to_string(i % 10) + "\n";
  struct Case {
    const char* name;
    const char* contents;  // null: no file at all
    std::string text;
    const char* message;  // followed by the path
  };
  const Case cases[] = {
      {"missing.pcd", nullptr, "", "Failed to load PCD file: "},
      {"empty.pcd", "", "", "Failed to load PCD file: "},
      {"prose.pcd", "", "this is not\na point cloud\n", "Failed to load PCD file: "},
      {"noise.pcd", "", garbage, "Failed to load PCD file: "},
      {"truncated.pcd", "", header + "DATA ascii\n1 2 3\n4 5 6\n", "Failed to load PCD file: "},
      {"short_binary.pcd", "", header + "DATA binary\n0123456789ab", "Failed to load PCD file: "},
      {"bad_compressed.pcd", "", header + "DATA binary_compressed\n" + garbage,
       "Failed to load PCD file: "},
      {"data_kind_missing.pcd", "", header + "DATA\n1 2 3\n", "Failed to load PCD file: "},
      {"one_value_lines.pcd", "", header + "DATA ascii\n" + one_value_lines,
       "Failed to load PCD file: "},
      {"other_fields.pcd", "",
       "VERSION 0.7\nFIELDS a b c\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 1\nHEIGHT 1\n"
       "POINTS 1\nDATA ascii\n1 2 3\n",
       "PCD file has no float x, y, z fields: "},
      {"no_z.pcd", "",
       "VERSION 0.7\nFIELDS x y\nSIZE 4 4\nTYPE F F\nCOUNT 1 1\nWIDTH 1\nHEIGHT 1\n"
       "POINTS 1\nDATA ascii\n1 2\n",
       "PCD file has no float x, y, z fields: "},
      {"integer_xyz.pcd", "",
       "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE I I I\nCOUNT 1 1 1\nWIDTH 1\nHEIGHT 1\n"
       "POINTS 1\nDATA ascii\n1 2 3\n",
       "PCD file has no float x, y, z fields: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = in_.file(c.name);
    if (c.contents != nullptr) drone_test::write_file(path, c.text);
    const VolumeResult r = VolumeAnalyzer::analyze(path, 6, out_.path());
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.error_message, c.message + path);
    EXPECT_EQ(r.points_count, 0u);
    EXPECT_EQ(r.mesh_polygons, 0u);
    EXPECT_TRUE(r.output_path.empty());
  }
  EXPECT_TRUE(entries(out_.path()).empty());
}

// The largest resident size this process has had so far, in KiB.
long peak_resident_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST_F(VolumeAnalyzerTest, DamagedPointCountCostsNoMemory) {
  // A header whose POINTS line claims 50 million points (600 MB of coordinates) in front of one
  // point: the file is refused before anything is allocated for the claim.
  const std::string path = in_.file("claims.pcd");
  drone_test::write_file(path,
                         "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n"
                         "WIDTH 50000000\nHEIGHT 1\nPOINTS 50000000\nDATA binary\n"
                         "123456789012");
  const long before = peak_resident_kib();
  const VolumeResult r = VolumeAnalyzer::analyze(path, 6, out_.path());
  EXPECT_LT(peak_resident_kib() - before, 200 * 1024);
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.error_message, "Failed to load PCD file: " + path);
  EXPECT_EQ(r.points_count, 0u);
  EXPECT_TRUE(entries(out_.path()).empty());
}

TEST_F(VolumeAnalyzerTest, MissingOutputDirectoryFailsBeforeTheReconstruction) {
  write_xyz_pcd(in_.file("cloud.pcd"), sphere_points({0, 0, 0}, 1.0f, 300, 61));
  const VolumeResult r = VolumeAnalyzer::analyze(in_.file("cloud.pcd"), 5, out_.file("not/there"));
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.error_message, "Failed to save reconstructed PCD: " + out_.file("not/there") +
                                 "/cloud_reconstructed.pcd (No such file or directory)");
  EXPECT_EQ(r.mesh_polygons, 0u);  // no reconstruction took place
}

}  // namespace
