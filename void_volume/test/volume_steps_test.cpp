#include <gtest/gtest.h>
#include <pcl/features/normal_3d.h>
#include <pcl/io/pcd_io.h>

#include <algorithm>
#include <array>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "cloud_checks.h"
#include "cloud_files.h"
#include "cloud_writer.h"
#include "hand_mesh.h"
#include "mesh_volume.h"
#include "neighbour_search.h"
#include "normal_orientation.h"
#include "output_rules.h"
#include "result_checks.h"
#include "safe_output/output_file.h"
#include "testing/temp_dir.h"
#include "void_shapes.h"

namespace {

using caikongqu::detail::clamp_depth;
using caikongqu::detail::measure_mesh;
using caikongqu::detail::MeshVolumes;
using caikongqu::detail::reconstructed_path;

// A hand-made mesh, measured.
struct Mesh : voidvol_test::HandMesh {
  MeshVolumes measure() const { return measure_mesh(vertices, polygons); }
};

// The tetrahedron (0,0,0), (1,0,0), (0,1,0), (0,0,1) shifted by `at`, faces wound outward (or
// inward when `inward`).
void add_tetrahedron(Mesh& m, float ax, float ay, float az, bool inward) {
  const int o = m.vertex(ax, ay, az);
  const int x = m.vertex(ax + 1, ay, az);
  const int y = m.vertex(ax, ay + 1, az);
  const int z = m.vertex(ax, ay, az + 1);
  std::vector<std::vector<int>> faces{{o, y, x}, {o, x, z}, {o, z, y}, {x, y, z}};
  for (auto& f : faces) {
    if (inward) std::swap(f[1], f[2]);
    m.polygon(f);
  }
}

// The axis-aligned cube of edge `edge` with corner `at`, six outward quads.
void add_cube(Mesh& m, float ax, float ay, float az, float edge) {
  int c[8];
  for (int i = 0; i < 8; ++i) {
    c[i] =
        m.vertex(ax + ((i & 1) ? edge : 0), ay + ((i & 2) ? edge : 0), az + ((i & 4) ? edge : 0));
  }
  m.polygon({c[0], c[2], c[3], c[1]});  // z low
  m.polygon({c[4], c[5], c[7], c[6]});  // z high
  m.polygon({c[0], c[1], c[5], c[4]});  // y low
  m.polygon({c[2], c[6], c[7], c[3]});  // y high
  m.polygon({c[0], c[4], c[6], c[2]});  // x low
  m.polygon({c[1], c[3], c[7], c[5]});  // x high
}

// Signed volume of the tetrahedron spanned by the origin and one triangle, as the analysis
// defines it.
double signed_volume(const Mesh& m, int a, int b, int c) {
  const auto& p0 = m.vertices[a];
  const auto& p1 = m.vertices[b];
  const auto& p2 = m.vertices[c];
  const double cx = double(p1.y) * p2.z - double(p2.y) * p1.z;
  const double cy = double(p1.z) * p2.x - double(p1.x) * p2.z;
  const double cz = double(p1.x) * p2.y - double(p1.y) * p2.x;
  return (p0.x * cx + p0.y * cy + p0.z * cz) / 6.0;
}

TEST(MeshVolume, ClosedTetrahedronEitherWinding) {
  for (const bool inward : {false, true}) {
    for (const float shift : {0.0f, 100.0f}) {
      SCOPED_TRACE(std::string(inward ? "inward" : "outward") + " at " + std::to_string(shift));
      Mesh m;
      add_tetrahedron(m, shift, -2 * shift, shift / 2, inward);
      const MeshVolumes r = m.measure();
      ASSERT_TRUE(r.success) << r.error_message;
      ASSERT_EQ(r.component_volumes.size(), 1u);
      EXPECT_NEAR(r.component_volumes[0], 1.0 / 6.0, 1e-9);
      EXPECT_EQ(r.total_volume, r.component_volumes[0]);
    }
  }
}

TEST(MeshVolume, PiecesInsideALargerPieceAreMarked) {
  // A 10 m cube holding a small tetrahedron, wound either way; a tetrahedron in the corner of a
  // tilted large tetrahedron's bounding box yet outside it; a large cube beside a small one.
  struct Case {
    const char* name;
    std::function<void(Mesh&)> build;
    std::vector<uint8_t> inside;
  };
  const std::vector<Case> cases{
      {"inside, outward",
       [](Mesh& m) { add_cube(m, 0, 0, 0, 10), add_tetrahedron(m, 4, 4, 4, false); },
       {0, 1}},
      {"inside, inward",
       [](Mesh& m) { add_tetrahedron(m, 4, 4, 4, true), add_cube(m, 0, 0, 0, 10); },
       {1, 0}},
      {"in the box, outside the piece",
       [](Mesh& m) {
         const int o = m.vertex(0, 0, 0), x = m.vertex(10, 0, 0), y = m.vertex(0, 10, 0),
                   z = m.vertex(0, 0, 10);
         for (const std::vector<int>& f :
              std::vector<std::vector<int>>{{o, y, x}, {o, x, z}, {o, z, y}, {x, y, z}}) {
           m.polygon(f);
         }
         add_tetrahedron(m, 6, 6, 6, false);
       },
       {0, 0}},
      {"side by side", [](Mesh& m) { add_cube(m, 0, 0, 0, 10), add_cube(m, 12, 0, 0, 2); }, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Mesh m;
    c.build(m);
    const MeshVolumes r = m.measure();
    ASSERT_TRUE(r.success) << r.error_message;
    EXPECT_EQ(r.inside, c.inside);
  }
}

TEST(MeshVolume, TriangleWithReversedTwinIsOnePieceOfNoVolume) {
  Mesh m;
  const int a = m.vertex(1, 2, 3), b = m.vertex(4, -1, 2), c = m.vertex(0, 5, 7);
  m.polygon({a, b, c});
  m.polygon({a, c, b});
  const MeshVolumes r = m.measure();
  ASSERT_TRUE(r.success);
  ASSERT_EQ(r.component_volumes.size(), 1u);
  // Dropping the sign per triangle instead of per piece would give twice one triangle's share.
  EXPECT_NEAR(r.component_volumes[0], 0.0, 1e-12);
  EXPECT_NEAR(r.total_volume, 0.0, 1e-12);
}

TEST(MeshVolume, SharingOnlyAVertexKeepsPiecesApart) {
  Mesh m;
  const int shared = m.vertex(0, 0, 1);
  const int a = m.vertex(1, 0, 0), b = m.vertex(0, 1, 0);
  const int c = m.vertex(-1, 0, 0), d = m.vertex(0, -1, 0);
  m.polygon({shared, a, b});
  m.polygon({shared, c, d});
  const MeshVolumes r = m.measure();
  ASSERT_TRUE(r.success);
  ASSERT_EQ(r.component_volumes.size(), 2u);
  EXPECT_NEAR(r.component_volumes[0], std::fabs(signed_volume(m, shared, a, b)), 1e-12);
  EXPECT_NEAR(r.component_volumes[1], std::fabs(signed_volume(m, shared, c, d)), 1e-12);
}

TEST(MeshVolume, TrianglesOnOneEdgeFormOnePiece) {
  for (const int count : {3, 1000}) {
    SCOPED_TRACE(count);
    Mesh m;
    const int a = m.vertex(0, 0, 0), b = m.vertex(0, 0, 1);
    for (int i = 0; i < count; ++i) {
      const double angle = 6.283185307 * i / count;
      m.polygon({a, b, m.vertex(float(std::cos(angle)), float(std::sin(angle)), 0.5f)});
    }
    const MeshVolumes r = m.measure();
    ASSERT_TRUE(r.success);
    EXPECT_EQ(r.component_volumes.size(), 1u);
  }
}

TEST(MeshVolume, PieceJoinedThroughALaterTriangle) {
  // Triangles 0 and 2 meet only through triangles 3 and 4; triangle 1 stands alone.
  Mesh m;
  for (int i = 0; i < 8; ++i) m.vertex(float(i), float(i * i % 5), float(i % 3) + 1);
  for (int i = 0; i < 3; ++i) m.vertex(float(10 + i), 2.0f * i, -3.0f);
  m.polygon({0, 1, 2});
  m.polygon({8, 9, 10});
  m.polygon({5, 6, 7});
  m.polygon({1, 2, 5});
  m.polygon({2, 5, 6});
  const MeshVolumes r = m.measure();
  ASSERT_TRUE(r.success);
  ASSERT_EQ(r.component_volumes.size(), 2u);
  const double joined = signed_volume(m, 0, 1, 2) + signed_volume(m, 5, 6, 7) +
                        signed_volume(m, 1, 2, 5) + signed_volume(m, 2, 5, 6);
  EXPECT_NEAR(r.component_volumes[0], std::fabs(joined), 1e-9);
  EXPECT_NEAR(r.component_volumes[1], std::fabs(signed_volume(m, 8, 9, 10)), 1e-9);
}

TEST(MeshVolume, PolygonsAreFannedAroundTheirFirstVertex) {
  // A closed cube of quads encloses its volume only when each quad becomes two triangles.
  Mesh cube;
  add_cube(cube, 2, 3, 4, 2);
  MeshVolumes r = cube.measure();
  ASSERT_TRUE(r.success);
  ASSERT_EQ(r.component_volumes.size(), 1u);
  EXPECT_NEAR(r.total_volume, 8.0, 1e-9);

  // A skew pentagon (a,b,c,d,e) is the fan (a,b,c), (a,c,d), (a,d,e); a fan around another
  // vertex would enclose a different volume with the origin.
  Mesh skew;
  const int a = skew.vertex(1, 0, 0), b = skew.vertex(2, 1, 3), c = skew.vertex(1, 3, -1);
  const int d = skew.vertex(-1, 2, 2), e = skew.vertex(-2, -1, 1);
  skew.polygon({a, b, c, d, e});
  r = skew.measure();
  ASSERT_TRUE(r.success);
  ASSERT_EQ(r.component_volumes.size(), 1u);
  const double fan_a =
      signed_volume(skew, a, b, c) + signed_volume(skew, a, c, d) + signed_volume(skew, a, d, e);
  const double fan_b =
      signed_volume(skew, b, c, d) + signed_volume(skew, b, d, e) + signed_volume(skew, b, e, a);
  ASSERT_GT(std::fabs(std::fabs(fan_a) - std::fabs(fan_b)), 1e-3);
  EXPECT_NEAR(r.total_volume, std::fabs(fan_a), 1e-9);
}

TEST(MeshVolume, PolygonsOfFewerThanThreeVerticesAddNothing) {
  Mesh m;
  for (int i = 0; i < 4; ++i) m.vertex(float(i), 1, 2);
  m.polygon({0, 1});
  m.polygon({2});
  m.polygon({});
  MeshVolumes r = m.measure();
  ASSERT_TRUE(r.success) << r.error_message;
  EXPECT_TRUE(r.component_volumes.empty());
  EXPECT_EQ(r.total_volume, 0.0);

  // Nor does a two-vertex polygon join the pieces it touches.
  add_tetrahedron(m, 5, 5, 5, false);
  add_tetrahedron(m, -5, 5, 5, true);
  m.polygon({4, 8});
  r = m.measure();
  ASSERT_TRUE(r.success);
  ASSERT_EQ(r.component_volumes.size(), 2u);
  EXPECT_NEAR(r.total_volume, 2.0 / 6.0, 1e-9);
}

TEST(MeshVolume, DisjointSurfacesFollowTheirFirstTriangle) {
  // Cube first: its piece is number 0.
  Mesh m;
  add_cube(m, 0, 0, 0, 2);
  add_tetrahedron(m, 10, 0, 0, false);
  MeshVolumes r = m.measure();
  ASSERT_TRUE(r.success);
  ASSERT_EQ(r.component_volumes.size(), 2u);
  EXPECT_NEAR(r.component_volumes[0], 8.0, 1e-9);
  EXPECT_NEAR(r.component_volumes[1], 1.0 / 6.0, 1e-9);
  EXPECT_NEAR(r.total_volume, 8.0 + 1.0 / 6.0, 1e-9);

  // Interleaved faces with a tetrahedron face first: the tetrahedron is piece 0, whatever its
  // size.
  Mesh mixed;
  add_tetrahedron(mixed, 10, 0, 0, true);
  add_cube(mixed, 0, 0, 0, 2);
  std::vector<pcl::Vertices> order;
  for (size_t i = 0; i < 4; ++i) {
    order.push_back(mixed.polygons[i]);
    order.push_back(mixed.polygons[4 + i]);
  }
  order.push_back(mixed.polygons[8]);
  order.push_back(mixed.polygons[9]);
  mixed.polygons = order;
  r = mixed.measure();
  ASSERT_TRUE(r.success);
  ASSERT_EQ(r.component_volumes.size(), 2u);
  EXPECT_NEAR(r.component_volumes[0], 1.0 / 6.0, 1e-9);
  EXPECT_NEAR(r.component_volumes[1], 8.0, 1e-9);
}

TEST(MeshVolume, RepeatedVertexTriangleIsItsOwnPiece) {
  Mesh m;
  add_tetrahedron(m, 0, 0, 0, false);
  m.polygon({0, 0, 1});  // shares edge (0,1) with the tetrahedron: joins it
  m.polygon({2, 2, 2});  // a point: no edge shared with anything
  const MeshVolumes r = m.measure();
  ASSERT_TRUE(r.success);
  ASSERT_EQ(r.component_volumes.size(), 2u);
  EXPECT_NEAR(r.component_volumes[0], 1.0 / 6.0, 1e-9);
  EXPECT_EQ(r.component_volumes[1], 0.0);
}

TEST(MeshVolume, IndicesOutsideTheVerticesFail) {
  struct Case {
    std::vector<int> polygon;
    std::string names;
  };
  const std::vector<Case> cases{
      {{0, 1, 4}, "vertex 4"}, {{0, -1, 2}, "vertex -1"}, {{7, 1}, "vertex 7"}};
  for (const Case& c : cases) {
    Mesh m;
    add_tetrahedron(m, 0, 0, 0, false);
    m.polygon(c.polygon);
    const MeshVolumes r = m.measure();
    EXPECT_FALSE(r.success);
    EXPECT_NE(r.error_message.find(c.names), std::string::npos) << r.error_message;
    EXPECT_NE(r.error_message.find("polygon 4"), std::string::npos) << r.error_message;
    EXPECT_NE(r.error_message.find("4 vertices"), std::string::npos) << r.error_message;
    EXPECT_TRUE(r.component_volumes.empty());
  }
}

TEST(MeshVolume, NonFiniteVertexFails) {
  for (const float bad :
       {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    Mesh m;
    add_tetrahedron(m, 0, 0, 0, false);
    m.vertices[2].y = bad;
    const MeshVolumes r = m.measure();
    EXPECT_FALSE(r.success);
    EXPECT_NE(r.error_message.find("vertex 2"), std::string::npos) << r.error_message;
  }
  // An unused vertex is never read.
  Mesh m;
  add_tetrahedron(m, 0, 0, 0, false);
  m.vertex(std::numeric_limits<float>::quiet_NaN(), 0, 0);
  EXPECT_TRUE(m.measure().success);
}

TEST(ThinnerThanSampling, DrillHoleSpikesNotSmallVoids) {
  const double pi = std::acos(-1.0);
  struct Case {
    const char* name;
    double volume, area, radius, largest;
    bool thin;
  };
  const Case cases[] = {
      {"a 0.3 m tube 3 m long, spacing 0.3 m", 0.15 * 0.15 * pi * 3, 0.3 * pi * 3, 0.3, 3840, true},
      {"the same tube, sampled at 5 cm", 0.15 * 0.15 * pi * 3, 0.3 * pi * 3, 0.05, 3840, false},
      {"a ball of radius 1.5", 4.5 * pi, 9 * pi, 0.3, 523.6, false},
      {"a ball of radius 0.3 beside a piece 50 times larger", 0.036 * pi, 0.36 * pi, 0.3, 5.6,
       false},
      {"no area", 0.0, 0.0, 0.3, 100, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(caikongqu::detail::thinner_than_sampling(c.volume, c.area, c.radius, c.largest),
              c.thin);
  }
}

TEST(ClampDepth, KeepsFiveToTwelve) {
  const int kMin = std::numeric_limits<int>::min(), kMax = std::numeric_limits<int>::max();
  const std::pair<int, int> cases[] = {{kMin, 5}, {-3, 5},  {0, 5},   {4, 5},   {5, 5},    {6, 6},
                                       {8, 8},    {11, 11}, {12, 12}, {13, 12}, {kMax, 12}};
  for (const auto& c : cases) EXPECT_EQ(clamp_depth(c.first), c.second) << c.first;
}

TEST(ReconstructedPath, FollowsTheInputBaseName) {
  struct Case {
    const char* input;
    const char* dir;
    const char* expected;
  };
  const Case cases[] = {
      {"/data/scan.part2.pcd", "/out", "/out/scan.part2_reconstructed.pcd"},
      {"C:\\data\\a.pcd", "/out", "/out/a_reconstructed.pcd"},
      {"cloud", "/out", "/out/cloud_reconstructed.pcd"},
      {".pcd", "/out", "/out/_reconstructed.pcd"},
      {"/data/scan.part2.pcd", "/out/", "/out//scan.part2_reconstructed.pcd"},
      {"/data/scan.part2.pcd", "", "/scan.part2_reconstructed.pcd"},
      {"rel/dir.v2/cloud", "out", "out/cloud_reconstructed.pcd"},
      {"/data/mixed\\win/x.y.z", "o", "o/x.y_reconstructed.pcd"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reconstructed_path(c.input, c.dir), c.expected) << c.input << " in " << c.dir;
  }
}

TEST(WriteAsciiPcd, SameBytesAsTheLibraryWriter) {
  // Values that take each notation and rounding path of 8 significant digits.
  const float kNan = std::numeric_limits<float>::quiet_NaN();
  const float kInf = std::numeric_limits<float>::infinity();
  pcl::PointCloud<pcl::PointXYZ> cloud;
  for (const float v :
       {0.0f, -0.0f, 1.0f, -2.5f, 0.1f, 1.0f / 3, 123456789.0f, 1.5e-7f, 99999999.0f, -6.02e23f,
        1e-38f, 3.4028235e38f, kNan, kInf, -kInf, 12345.678f}) {
    cloud.push_back(pcl::PointXYZ(v, -v * 7.1f, v + 0.001f));
  }
  const drone_test::TempDir dir;
  for (const auto& c : {cloud, pcl::PointCloud<pcl::PointXYZ>()}) {
    SCOPED_TRACE(c.size());
    ASSERT_EQ(pcl::PCDWriter().writeASCII(dir.file("pcl.pcd"), c, 8), 0);
    safe_output::OutputFile out(dir.file("ours.pcd"));
    ASSERT_EQ(out.open(), "");
    ASSERT_EQ(caikongqu::detail::write_ascii_pcd(out, c), "");
    ASSERT_EQ(out.commit(), "");
    EXPECT_EQ(drone_test::read_file(dir.file("ours.pcd")),
              drone_test::read_file(dir.file("pcl.pcd")));
  }
}

// The strays of `cloud`, its neighbours searched as the analysis searches them.
caikongqu::detail::Strays strays_of(const pcl::PointCloud<pcl::PointXYZ>& cloud) {
  const caikongqu::detail::NeighbourSearch search(cloud);
  return caikongqu::detail::find_strays(cloud, search.rows(caikongqu::detail::kNormalNeighbours));
}

// Orients `normals` of `cloud` toward `viewpoint`, its neighbours searched as the analysis
// searches them.
caikongqu::detail::Orientation orient(const pcl::PointCloud<pcl::PointXYZ>& cloud,
                                      const Eigen::Vector3f& viewpoint,
                                      pcl::PointCloud<pcl::Normal>& normals) {
  const caikongqu::detail::NeighbourSearch search(cloud);
  return caikongqu::detail::orient_normals(
      cloud, search, search.rows(caikongqu::detail::kNormalNeighbours), viewpoint, normals);
}

// Normals of `cloud` from its 20 nearest neighbours, turned toward `viewpoint`.
pcl::PointCloud<pcl::Normal> estimated_normals(const pcl::PointCloud<pcl::PointXYZ>::Ptr& cloud,
                                               const Eigen::Vector3f& viewpoint) {
  pcl::NormalEstimation<pcl::PointXYZ, pcl::Normal> estimation;
  estimation.setKSearch(20);
  estimation.setViewPoint(viewpoint.x(), viewpoint.y(), viewpoint.z());
  estimation.setInputCloud(cloud);
  pcl::PointCloud<pcl::Normal> normals;
  estimation.compute(normals);
  return normals;
}

TEST(NeighbourSearch, NormalsAreThoseOfThePointCloudLibraryAndLeftOutPointsAreNeverFound) {
  // A station's scan of a drive (sampling thinning out with range) and dust close to its walls,
  // which lies among the walls' nearest neighbours.
  pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
  for (const auto& p : voidvol_test::station_scan({0, 0, 0}, {20, 4, 6}, {1, 2, 3}, 6000, 5)) {
    cloud->push_back({p[0], p[1], p[2]});
  }
  std::vector<uint8_t> keep(cloud->size(), 1);
  for (size_t i = 0; i < 300; ++i) {
    const pcl::PointXYZ near = (*cloud)[i * 19];
    cloud->push_back({near.x + 0.05f, near.y - 0.05f, near.z + 0.05f});
    keep.push_back(i % 3 == 0 ? 1 : 0);
  }
  const Eigen::Vector3f viewpoint(1, 2, 3);
  caikongqu::detail::NeighbourSearch search(*cloud);
  caikongqu::detail::NeighbourRows rows = search.rows(caikongqu::detail::kNormalNeighbours);
  ASSERT_EQ(rows.width, 20u);
  const pcl::PointCloud<pcl::Normal> ours =
      caikongqu::detail::estimate_normals(*cloud, rows, viewpoint);
  const pcl::PointCloud<pcl::Normal> theirs = estimated_normals(cloud, viewpoint);
  ASSERT_EQ(ours.size(), theirs.size());
  EXPECT_EQ(std::memcmp(ours.data(), theirs.data(), sizeof(pcl::Normal) * ours.size()), 0);

  // Left out, the dust is found neither in the rows nor by a search: both are those of a search
  // over the kept points alone, in their numbering.
  size_t naming_dust = 0;
  for (size_t i = 0; i < keep.size(); ++i) {
    const int* row = rows.row(i);
    naming_dust += keep[i] && std::any_of(row, row + rows.width, [&keep](int j) {
                     return keep[static_cast<size_t>(j)] == 0;
                   });
  }
  EXPECT_GT(naming_dust, 200u);
  search.leave_out(keep, rows);
  pcl::PointCloud<pcl::PointXYZ> kept;
  for (size_t i = 0; i < keep.size(); ++i) {
    if (keep[i]) kept.push_back((*cloud)[i]);
  }
  const caikongqu::detail::NeighbourSearch alone(kept);
  EXPECT_EQ(rows.index, alone.rows(caikongqu::detail::kNormalNeighbours).index);
  std::vector<int> found, expected;
  std::vector<size_t> scratch;
  std::vector<float> distance;
  for (size_t i = 0; i < kept.size(); i += 97) {
    search.nearest(kept[i].data, 80, found, scratch, distance);
    alone.nearest(kept[i].data, 80, expected, scratch, distance);
    ASSERT_EQ(found, expected) << i;
  }
}

TEST(NeighbourSearch, CloudsSmallerThanARowListEveryPointOnce) {
  for (const size_t n : {0u, 1u, 5u, 21u}) {
    SCOPED_TRACE(n);
    pcl::PointCloud<pcl::PointXYZ> cloud;
    for (size_t i = 0; i < n; ++i) cloud.push_back({float(i % 3), float(i * i % 7), float(i)});
    const caikongqu::detail::NeighbourSearch search(cloud);
    const caikongqu::detail::NeighbourRows rows = search.rows(20);
    ASSERT_EQ(rows.width, std::min<size_t>(n, 20));
    for (size_t i = 0; i < n; ++i) {
      std::vector<int> row(rows.row(i), rows.row(i) + rows.width);
      EXPECT_EQ(row.front(), static_cast<int>(i));
      std::sort(row.begin(), row.end());
      EXPECT_EQ(std::adjacent_find(row.begin(), row.end()), row.end());
      EXPECT_GE(row.front(), 0);
    }
  }
}

TEST(OrientNormals, PerClusterAndIndependentOfPointOrder) {
  // Two unit spheres 6 apart, the viewpoint far off: each is turned inward on its own.
  std::vector<voidvol_test::Point> points = voidvol_test::sphere_points({-3, 0, 0}, 1, 1500, 5);
  const auto second = voidvol_test::sphere_points({3, 0, 0}, 1, 1500, 6);
  points.insert(points.end(), second.begin(), second.end());
  auto cloud_of = [](const std::vector<voidvol_test::Point>& pts) {
    pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
    for (const auto& p : pts) cloud->push_back({p[0], p[1], p[2]});
    return cloud;
  };
  const Eigen::Vector3f far_off(0, 500, 0);
  const auto cloud = cloud_of(points);
  pcl::PointCloud<pcl::Normal> normals = estimated_normals(cloud, far_off);
  normals[7].normal_x = std::numeric_limits<float>::quiet_NaN();
  const caikongqu::detail::Orientation o = orient(*cloud, far_off, normals);
  EXPECT_EQ(o.clusters, 2u);
  EXPECT_EQ(o.propagated_clusters, 2u);
  EXPECT_GT(o.flipped, 1000u);
  size_t inward = 0;
  for (size_t i = 0; i < points.size(); ++i) {
    const Eigen::Vector3f centre(points[i][0] < 0 ? -3.0f : 3.0f, 0, 0);
    if (normals[i].getNormalVector3fMap().dot(centre - (*cloud)[i].getVector3fMap()) > 0) {
      ++inward;
    }
  }
  EXPECT_GE(inward, points.size() - 5);
  EXPECT_TRUE(std::isnan(normals[7].normal_x));

  // The same points in reverse order end with the same normals, point for point.
  std::vector<voidvol_test::Point> reversed(points.rbegin(), points.rend());
  const auto cloud_r = cloud_of(reversed);
  pcl::PointCloud<pcl::Normal> normals_r = estimated_normals(cloud_r, far_off);
  normals_r[points.size() - 1 - 7].normal_x = std::numeric_limits<float>::quiet_NaN();
  orient(*cloud_r, far_off, normals_r);
  for (size_t i = 0; i < points.size(); ++i) {
    if (i == 7) continue;
    ASSERT_EQ(normals[i].getNormalVector3fMap(),
              normals_r[points.size() - 1 - i].getNormalVector3fMap())
        << i;
  }

  // Seen from its centre, one sphere keeps its normals bit for bit.
  const auto one = cloud_of(second);
  const Eigen::Vector3f inside(3, 0, 0);
  pcl::PointCloud<pcl::Normal> kept = estimated_normals(one, inside);
  const pcl::PointCloud<pcl::Normal> before = kept;
  const caikongqu::detail::Orientation none = orient(*one, inside, kept);
  EXPECT_EQ(none.propagated_clusters, 0u);
  EXPECT_EQ(std::memcmp(kept.data(), before.data(), sizeof(pcl::Normal) * kept.size()), 0);
}

}  // namespace

TEST(OrientNormals, ScannerRingsNearTheBlindConeGetTheRoofsNormal) {
  // A station sweeping rings every 2 degrees, 720 returns a ring, blind within 10 degrees of
  // straight up, 6 m under the roof: the rings over it are 1 m across, 9 mm between returns and
  // 22 cm between rings, so each point's nearest neighbours lie on its own ring.
  const std::array<double, 3> station{10, 4, 6};
  const auto points = voidvol_test::ring_scan({0, 0, 0}, {40, 8, 12}, station, 2, 720, 10, 44);
  pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
  for (const auto& p : points) cloud->push_back({p[0], p[1], p[2]});
  const Eigen::Vector3f viewpoint(10, 4, 6);
  pcl::PointCloud<pcl::Normal> normals = estimated_normals(cloud, viewpoint);
  const caikongqu::detail::Orientation o = orient(*cloud, viewpoint, normals);
  size_t roof = 0, tilted = 0;
  for (size_t i = 0; i < points.size(); ++i) {
    const auto& p = points[i];
    if (p[2] < 11.8f || std::hypot(p[0] - 10.0f, p[1] - 4.0f) > 3.0f) continue;
    ++roof;
    if (!(normals[i].normal_z < -0.8f)) ++tilted;  // down, toward the station
  }
  EXPECT_GT(roof, 3000u);
  EXPECT_LT(tilted, roof / 100) << "of " << roof;
  EXPECT_GT(o.replaced, 0u);
}

namespace {

TEST(OrientNormals, ThresholdKeepsOrPropagatesAtItsBoundary) {
  // A sphere seen from its centre, some normals then turned outward: up to 3 % of them (30 of
  // 1000) the cluster keeps what it was given, from 31 on it is propagated and every normal
  // points inward.
  const auto points = voidvol_test::sphere_points({0, 0, 0}, 1, 1000, 9);
  pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
  for (const auto& p : points) cloud->push_back({p[0], p[1], p[2]});
  const Eigen::Vector3f centre(0, 0, 0);
  const pcl::PointCloud<pcl::Normal> inward = estimated_normals(cloud, centre);
  for (const size_t turned : {29u, 30u, 31u, 32u}) {
    SCOPED_TRACE(turned);
    pcl::PointCloud<pcl::Normal> normals = inward;
    for (size_t k = 0; k < turned; ++k) {
      pcl::Normal& n = normals[k * 31];
      n.normal_x = -n.normal_x;
      n.normal_y = -n.normal_y;
      n.normal_z = -n.normal_z;
    }
    const pcl::PointCloud<pcl::Normal> given = normals;
    const caikongqu::detail::Orientation o = orient(*cloud, centre, normals);
    EXPECT_EQ(o.clusters, 1u);
    const bool propagated = turned > 30;
    EXPECT_EQ(o.propagated_clusters, propagated ? 1u : 0u);
    EXPECT_EQ(o.flipped, propagated ? turned : 0u);
    const pcl::PointCloud<pcl::Normal>& expected = propagated ? inward : given;
    EXPECT_EQ(std::memcmp(normals.data(), expected.data(), sizeof(pcl::Normal) * normals.size()),
              0);
  }
}

TEST(FindStrays, IsolatedPointsAndSmallGroupsInAnyUnitAndPlace) {
  using voidvol_test::Point;
  struct Case {
    const char* name;
    std::vector<Point> extra;  // added to a unit sphere of 2000 points
    size_t left_out;
  };
  std::vector<Point> clump10, clump25;
  for (const Point& p : voidvol_test::sphere_points({5, 0, 0}, 0.05f, 25, 2)) {
    if (clump10.size() < 10) clump10.push_back(p);
    clump25.push_back(p);
  }
  const std::vector<Case> cases{
      {"clean", {}, 0},
      {"three far points", {{50, 0, 0}, {0, -55, 0}, {0, 0, 2000}}, 3},
      {"one point 1.5 off", {{0, 0, 2.5f}}, 1},
      {"a group of 10", clump10, 10},
      {"a group of 25 is kept", clump25, 0},
      {"a second void", voidvol_test::sphere_points({6, 0, 0}, 0.5f, 500, 3), 0},
  };
  // The same clouds in metres, in millimetres, and in site coordinates.
  struct Frame {
    float scale;
    Point shift;
  };
  for (const Frame& frame :
       {Frame{1, {0, 0, 0}}, Frame{1000, {0, 0, 0}}, Frame{1, {512345, 401234, 120}}}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " at scale " + std::to_string(frame.scale));
      std::vector<Point> points = voidvol_test::sphere_points({0, 0, 0}, 1, 2000, 1);
      points.insert(points.end(), c.extra.begin(), c.extra.end());
      pcl::PointCloud<pcl::PointXYZ> cloud;
      for (const Point& p : points) {
        cloud.push_back({p[0] * frame.scale + frame.shift[0], p[1] * frame.scale + frame.shift[1],
                         p[2] * frame.scale + frame.shift[2]});
      }
      const caikongqu::detail::Strays s = strays_of(cloud);
      EXPECT_EQ(s.left_out, c.left_out);
      for (size_t i = 0; i < 2000; ++i) ASSERT_EQ(s.keep[i], 1) << i;
    }
  }
}

TEST(FindStrays, WallThinningOutWithRangeStaysWhole) {
  // One station 1 m inside the end wall of a 20 x 4 x 6 m drive: the far end is sampled a
  // twentieth as densely as the near one, yet it is the scanned surface. Dust spread through
  // space at that far end's spacing is still left out.
  const std::vector<voidvol_test::Point> scan =
      voidvol_test::station_scan({0, 0, 0}, {20, 4, 6}, {1, 2, 3}, 6000, 5);
  pcl::PointCloud<pcl::PointXYZ> cloud;
  for (const auto& p : scan) cloud.push_back({p[0], p[1], p[2]});
  const size_t wall = cloud.size();
  std::mt19937 gen(6);
  for (int i = 0; i < 60; ++i) {
    cloud.push_back({static_cast<float>(30 + 10 * (gen() / 4294967296.0)),
                     static_cast<float>(10 * (gen() / 4294967296.0)),
                     static_cast<float>(10 * (gen() / 4294967296.0))});
  }
  const caikongqu::detail::Strays s = strays_of(cloud);
  size_t wall_left_out = 0;
  for (size_t i = 0; i < wall; ++i) wall_left_out += s.keep[i] == 0 ? 1 : 0;
  EXPECT_LE(wall_left_out, wall / 100);
  EXPECT_EQ(s.left_out - wall_left_out, 60u);
  // The local spacing follows the sampling: wide at the far end, narrow near the station.
  ASSERT_EQ(s.spacing.size(), cloud.size());
  double near = 0, far = 0;
  size_t near_count = 0, far_count = 0;
  for (size_t i = 0; i < wall; ++i) {
    if (cloud[i].x < 2.0f && s.keep[i]) near += s.spacing[i], ++near_count;
    if (cloud[i].x > 18.0f && s.keep[i]) far += s.spacing[i], ++far_count;
  }
  ASSERT_GT(near_count * far_count, 0u);
  EXPECT_GT(far / static_cast<double>(far_count), 5 * near / static_cast<double>(near_count));
}

TEST(FindRepeats, CopiesCountOnceByThePointsOwnSpacing) {
  // A sphere sampled as a scan would be (about 12 cm between points), with copies of every
  // point a float step or a tenth of a millimetre off, exactly on it, or with a stray far off:
  // exactly the copies go and every first point stays, whatever the sphere's place.
  namespace detail = caikongqu::detail;
  struct Case {
    const char* name;
    std::array<float, 3> centre;
    int copies;      // of every point, the original included
    float offset;    // of each copy from the original along each axis, 0: a float step
    bool exact;      // copies at exactly the same place
    bool far_stray;  // one point 10,000 km off
  };
  const Case cases[] = {
      {"clean", {0, 0, 0}, 1, 0, false, false},
      {"two copies a float step apart", {0, 0, 0}, 2, 0, false, false},
      {"five copies a float step apart, far from the origin",
       {1000, 2000, 300},
       5,
       0,
       false,
       false},
      {"eight copies a float step apart", {0, 0, 0}, 8, 0, false, false},
      {"two copies 0.1 mm apart", {0, 0, 0}, 2, 1e-4f, false, false},
      {"three copies 0.1 mm apart", {3000, -2000, 100}, 3, 1e-4f, false, false},
      {"eight copies 0.1 mm apart", {0, 0, 0}, 8, 1e-4f, false, false},
      {"four exact copies", {0, 0, 0}, 4, 0, true, false},
      {"a stray 10,000 km off", {0, 0, 0}, 1, 0, false, true},
      {"three copies 0.1 mm apart and a far stray", {0, 0, 0}, 3, 1e-4f, false, true},
  };
  const std::vector<voidvol_test::Point> sphere =
      voidvol_test::sphere_points({0, 0, 0}, 4, 8000, 91);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pcl::PointCloud<pcl::PointXYZ> cloud;
    for (int copy = 0; copy < c.copies; ++copy) {
      for (const auto& p : sphere) {
        pcl::PointXYZ q(p[0] + c.centre[0], p[1] + c.centre[1], p[2] + c.centre[2]);
        for (int k = 0; k < 3 && copy > 0 && !c.exact; ++k) {
          // Each copy off the original in its own direction.
          const float sign = ((copy >> k) & 1) != 0 ? 1.0f : -1.0f;
          q.data[k] = c.offset > 0 ? q.data[k] + sign * c.offset / std::sqrt(3.0f)
                                   : std::nextafter(q.data[k], sign * HUGE_VALF);
        }
        cloud.push_back(q);
      }
    }
    if (c.far_stray) cloud.push_back({1e7f, 0, 0});
    const detail::Duplicates exact = detail::find_exact_repeats(cloud);
    pcl::PointCloud<pcl::PointXYZ> distinct;
    for (size_t i = 0; i < cloud.size(); ++i) {
      if (exact.keep.empty() || exact.keep[i]) distinct.push_back(cloud[i]);
    }
    const detail::NeighbourSearch search(distinct);
    const detail::Duplicates near =
        detail::find_near_repeats(distinct, search.rows(detail::kNormalNeighbours));
    EXPECT_EQ(exact.collapsed + near.collapsed, sphere.size() * (c.copies - 1));
    // The originals come first and stay, as does the stray.
    for (size_t i = 0; i < sphere.size(); ++i) {
      ASSERT_TRUE(near.keep.empty() || near.keep[i]) << i;
    }
    if (c.far_stray) {
      EXPECT_TRUE(near.keep.empty() || near.keep.back());
    }
  }
}

TEST(CheckExtent, CoincidentLinePlaneOrVolume) {
  pcl::PointCloud<pcl::PointXYZ> cloud;
  for (int i = 0; i < 30; ++i) cloud.push_back({1, 2, 3});
  EXPECT_EQ(caikongqu::detail::check_extent(cloud),
            "Points have no 3-D extent: all 30 points coincide");
  for (int i = 0; i < 30; ++i) cloud[i] = {0.1f * i, 2.0f * i, 3};
  EXPECT_EQ(caikongqu::detail::check_extent(cloud),
            "Points have no 3-D extent: all 30 points lie on one line");
  for (int i = 0; i < 30; ++i) cloud[i] = {0.1f * (i % 5), 1.0f * i, 0.1f * (i % 5)};
  EXPECT_EQ(caikongqu::detail::check_extent(cloud),
            "Points have no 3-D extent: all 30 points lie in one plane");
  cloud[7].y += 0.01f;  // a thousandth of the length off the plane: a thin volume
  cloud[7].x += 0.01f;
  EXPECT_EQ(caikongqu::detail::check_extent(cloud), "");
}

}  // namespace

namespace {

TEST(CheckUnscanned, RefusesAboveFourPercent) {
  caikongqu::detail::Unscanned measured;
  EXPECT_EQ(caikongqu::detail::check_unscanned(measured), "");
  measured.share = 0.04;
  EXPECT_EQ(caikongqu::detail::check_unscanned(measured), "");
  measured = {0.1742, 1860.25, 335.71, {19.994, 4.0, -1.555}, {}, {}};
  EXPECT_EQ(caikongqu::detail::check_unscanned(measured),
            "Reconstructed surface is 17.4 % unscanned, above the 4 % allowed: no point lies "
            "near that part, so the volume would be partly guessed; the largest unscanned patch "
            "covers 335.7 of the surface's 1860 square units, around (19.99, 4.00, -1.55)");
  {
    // The failure texts keep their decimal point under a locale with a decimal comma.
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    const std::string text = caikongqu::detail::check_unscanned(measured);
    pcl::PointCloud<pcl::PointXYZ> far_off;
    far_off.push_back({2.5e14f, 0, 0});
    const std::string coordinate = caikongqu::detail::check_coordinates(far_off);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_NE(text.find("is 17.4 % unscanned"), std::string::npos) << text;
    EXPECT_NE(coordinate.find("x = 2.5e+14,"), std::string::npos) << coordinate;
  }
  // A mesh of two triangles, one of them far from every point: half its area is unscanned.
  pcl::PointCloud<pcl::PointXYZ> points, vertices;
  for (int i = 0; i < 10; ++i) points.push_back({0.1f * i, 0, 0});
  for (const auto& v :
       {pcl::PointXYZ(0, 0, 0), pcl::PointXYZ(0.3f, 0, 0), pcl::PointXYZ(0, 0.3f, 0),
        pcl::PointXYZ(50, 0, 0), pcl::PointXYZ(50.3f, 0, 0), pcl::PointXYZ(50, 0.3f, 0)}) {
    vertices.push_back(v);
  }
  std::vector<pcl::Vertices> polygons(2);
  polygons[0].vertices = {0, 1, 2};
  polygons[1].vertices = {3, 4, 5};
  EXPECT_NEAR(
      caikongqu::detail::measure_unscanned(points, std::vector<float>(10, 0.1f), vertices, polygons)
          .share,
      0.5, 1e-5);
}

TEST(MeasureUnscanned, AgainstTheSamplingNearEachTriangle) {
  // A wall sampled every 0.1 m for x < 5, every 0.3 m up to x = 8 and every 0.9 m beyond (the
  // sampling thinning out toward a far wall), with a 2 x 2 m hole in the dense part. The mesh is a
  // grid of 0.25 m squares over the wall: the sparse part is scanned, the hole is not, and the
  // patch is the hole.
  pcl::PointCloud<pcl::PointXYZ> points;
  for (int i = 0; i < 50; ++i) {
    for (int j = 0; j < 50; ++j) {
      const float x = 0.1f * i, y = 0.1f * j;
      if (!(x > 1.5f && x < 3.5f && y > 1.5f && y < 3.5f)) points.push_back({x, y, 0});
    }
  }
  for (int i = 0; i < 10; ++i) {
    for (int j = 0; j <= 16; ++j) points.push_back({5.0f + 0.3f * i, 0.3f * j, 0});
  }
  for (int i = 0; i <= 8; ++i) {
    for (int j = 0; j <= 5; ++j) points.push_back({8.0f + 0.9f * i, 0.9f * j, 0});
  }
  const caikongqu::detail::Strays strays = strays_of(points);
  ASSERT_EQ(strays.left_out, 0u);
  pcl::PointCloud<pcl::PointXYZ> vertices;
  std::vector<pcl::Vertices> polygons;
  const int columns = 61;  // x from 0 to 15 in steps of 0.25
  for (int j = 0; j <= 20; ++j) {
    for (int i = 0; i < columns; ++i) vertices.push_back({0.25f * i, 0.25f * j, 0});
  }
  for (int j = 0; j < 20; ++j) {
    for (int i = 0; i + 1 < columns; ++i) {
      pcl::Vertices quad;
      const int a = j * columns + i;
      quad.vertices = {a, a + 1, a + columns + 1, a + columns};
      polygons.push_back(quad);
    }
  }
  const caikongqu::detail::Unscanned u =
      caikongqu::detail::measure_unscanned(points, strays.spacing, vertices, polygons);
  EXPECT_NEAR(u.area, 75.0, 1e-3);
  // Within 0.2 m of the hole's rim the rim's points still count; what is left is 1.6 x 1.6 m.
  EXPECT_GT(u.share, 1.0 / 75.0);
  EXPECT_LT(u.share, 4.0 / 75.0);
  EXPECT_NEAR(u.patch_area, u.share * u.area, 1e-9);
  EXPECT_NEAR(u.patch_centre.x(), 2.5, 0.1);
  EXPECT_NEAR(u.patch_centre.y(), 2.5, 0.1);
  EXPECT_EQ(caikongqu::detail::check_unscanned(u), "");
}

}  // namespace
