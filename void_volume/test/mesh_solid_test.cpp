// The saved solid: the clean-up of hand-made meshes, and every format read back by independent
// readers (testing/scripts/mesh_check.py).
#include <gtest/gtest.h>

#include <array>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "cloud_files.h"
#include "hand_mesh.h"
#include "mesh_files.h"
#include "mesh_solid.h"
#include "safe_output/output_file.h"
#include "testing/mesh_check.h"
#include "testing/temp_dir.h"
#include "void_volume/volume_analyzer.h"

namespace {

const double kPi = std::acos(-1.0);

using caikongqu::MeshFormat;
using caikongqu::detail::LocalFrame;
using caikongqu::detail::make_solid;
using caikongqu::detail::SolidMesh;

using Mesh = voidvol_test::HandMesh;

// The twelve triangles of the box [at, at + size], wound outward or inward; returns the index of
// its first corner (corner k has bit 0 for x, bit 1 for y, bit 2 for z).
int add_box(Mesh& m, std::array<double, 3> at, std::array<double, 3> size, bool inward,
            int skip = -1) {
  const int first = static_cast<int>(m.vertices.size());
  for (int k = 0; k < 8; ++k) {
    m.vertex(at[0] + (k & 1) * size[0], at[1] + ((k >> 1) & 1) * size[1],
             at[2] + ((k >> 2) & 1) * size[2]);
  }
  // Outward: counter-clockwise seen from outside.
  const int quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                           {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
  int index = 0;
  for (const auto& q : quads) {
    for (const auto& t : {std::array<int, 3>{q[0], q[1], q[2]}, {q[0], q[2], q[3]}}) {
      if (index++ == skip) continue;
      if (inward) {
        m.triangle(first + t[0], first + t[2], first + t[1]);
      } else {
        m.triangle(first + t[0], first + t[1], first + t[2]);
      }
    }
  }
  return first;
}

// Signed volume of the saved triangles `from` .. `to` - 1 of a solid made of `m`.
double signed_volume(const Mesh& m, const SolidMesh& s, size_t from, size_t to) {
  double sum = 0.0;
  for (size_t t = from; t < to; ++t) {
    std::array<Eigen::Vector3d, 3> p;
    for (size_t c = 0; c < 3; ++c) {
      p[c] = m.vertices[static_cast<size_t>(s.vertices[static_cast<size_t>(s.triangles[t][c])])]
                 .getVector3fMap()
                 .cast<double>();
    }
    sum += p[0].dot(p[1].cross(p[2])) / 6.0;
  }
  return sum;
}

TEST(MeshSolid, CleanUpOfHandMadeMeshes) {
  struct Case {
    const char* fault;  // what the clean-up must repair or leave alone
    Mesh mesh;
    size_t welded, degenerate, pieces, turned, open, vertices, triangles;
    double volume;  // signed volume of the saved triangles
  };
  std::vector<Case> cases;
  {
    Case c{"a box wound inward is turned outward", {}, 0, 0, 1, 1, 0, 8, 12, 1.0};
    add_box(c.mesh, {0, 0, 0}, {1, 1, 1}, true);
    cases.push_back(c);
  }
  {
    // Corner 7 computed twice, 5e-4 apart: the copy takes two of its triangles, leaving a crack.
    Case c{"a corner split in two is welded", {}, 1, 0, 1, 0, 0, 8, 12, 1.0};
    const int first = add_box(c.mesh, {0, 0, 0}, {1, 1, 1}, false);
    const int copy = c.mesh.vertex(1 + 5e-4, 1, 1);
    for (size_t t = 2; t < 4; ++t) {
      for (auto& v : c.mesh.polygons[t].vertices) {
        if (v == first + 7) v = copy;
      }
    }
    cases.push_back(c);
  }
  {
    // A copy of corner 6 at the same position, and a triangle between the two copies and
    // corner 2: as marching cubes leaves them where the surface passes a grid corner.
    Case c{"a triangle with two corners at one position is dropped", {}, 1, 1, 1, 0, 0, 8, 12, 1.0};
    const int first = add_box(c.mesh, {0, 0, 0}, {1, 1, 1}, false);
    const int copy = c.mesh.vertex(0, 1, 1);
    for (auto& v : c.mesh.polygons[3].vertices) {
      if (v == first + 6) v = copy;
    }
    c.mesh.triangle(first + 6, copy, first + 2);
    cases.push_back(c);
  }
  {
    Case c{"each piece takes the sign of its own volume", {}, 0, 0, 2, 1, 0, 16, 24, 1.0 + 8.0};
    add_box(c.mesh, {0, 0, 0}, {1, 1, 1}, false);
    add_box(c.mesh, {3, 0, 0}, {2, 2, 2}, true);
    cases.push_back(c);
  }
  {
    // A flat octagon (its border too long to cover) keeps its winding; the closed box is turned.
    Case c{"a piece that stays open is saved as reconstructed", {}, 0, 0, 2, 1, 1, 17, 20, 0.0};
    const int centre = c.mesh.vertex(0, 0, 0);
    for (int k = 0; k < 8; ++k) {
      c.mesh.vertex(std::cos(k * kPi / 4), std::sin(k * kPi / 4), 0);
    }
    for (int k = 0; k < 8; ++k) c.mesh.triangle(centre, centre + 1 + k, centre + 1 + (k + 1) % 8);
    add_box(c.mesh, {3, 0, 0}, {1, 1, 1}, true);
    cases.push_back(c);
  }
  {
    Case c{"a lone triangle is no hole to cover", {}, 0, 0, 1, 0, 1, 3, 1, 0.0};
    c.mesh.triangle(c.mesh.vertex(0, 0, 0), c.mesh.vertex(1, 0, 0), c.mesh.vertex(0, 1, 0));
    cases.push_back(c);
  }
  {
    // The reconstruction left one triangle out: a hole of three edges, covered again.
    Case c{"a triangle left out is put back", {}, 0, 0, 1, 1, 0, 8, 12, 1.0};
    add_box(c.mesh, {0, 0, 0}, {1, 1, 1}, true, 7);
    cases.push_back(c);
  }
  {
    // Beside a unit box, a tetrahedron of edges 5e-4 long: its corners are as close as the
    // copies above, but edges join them, too long to collapse.
    const double e = 5e-4;
    Case c{"a small closed piece is not collapsed", {}, 0, 0, 2, 0, 0, 12, 16, 1 + e * e * e / 6};
    add_box(c.mesh, {0, 0, 0}, {1, 1, 1}, false);
    const int o = c.mesh.vertex(3, 0, 0);
    const int x = c.mesh.vertex(3 + e, 0, 0);
    const int y = c.mesh.vertex(3, e, 0);
    const int z = c.mesh.vertex(3, 0, e);
    c.mesh.triangle(o, y, x);
    c.mesh.triangle(o, x, z);
    c.mesh.triangle(o, z, y);
    c.mesh.triangle(x, y, z);
    cases.push_back(c);
  }
  {
    // Two closed boxes 5e-4 apart: corners as close as the split one above, but no border joins
    // them; welding them would glue the boxes along four edges.
    Case c{"closed pieces side by side are not glued", {}, 0, 0, 2, 0, 0, 16, 24, 2.0};
    add_box(c.mesh, {0, 0, 0}, {1, 1, 1}, false);
    add_box(c.mesh, {1 + 5e-4, 0, 0}, {1, 1, 1}, false);
    cases.push_back(c);
  }
  {
    // A box a hundredth thick: its short edges are no copies of one point.
    Case c{"vertices a hundredth of an edge apart stay apart", {}, 0, 0, 1, 0, 0, 8, 12, 0.01};
    add_box(c.mesh, {0, 0, 0}, {1, 1, 0.01}, false);
    cases.push_back(c);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    const SolidMesh s = make_solid(c.mesh.vertices, c.mesh.polygons);
    EXPECT_EQ(s.welded, c.welded);
    EXPECT_EQ(s.degenerate, c.degenerate);
    EXPECT_EQ(s.filled, c.triangles - (c.mesh.polygons.size() - c.degenerate));
    EXPECT_EQ(s.pieces, c.pieces);
    EXPECT_EQ(s.turned, c.turned);
    EXPECT_EQ(s.open, c.open);
    EXPECT_EQ(s.vertices.size(), c.vertices);
    ASSERT_EQ(s.triangles.size(), c.triangles);
    if (c.open == 0) {
      EXPECT_NEAR(signed_volume(c.mesh, s, 0, s.triangles.size()), c.volume, 1e-6);
    }
  }
  // The open piece's triangles are the ones given, the closed piece faces outward.
  const Case& open = cases[4];
  const SolidMesh s = make_solid(open.mesh.vertices, open.mesh.polygons);
  for (size_t t = 0; t < 8; ++t) {
    for (size_t k = 0; k < 3; ++k) EXPECT_EQ(s.triangles[t][k], open.mesh.polygons[t].vertices[k]);
  }
  EXPECT_NEAR(signed_volume(open.mesh, s, 8, 20), 1.0, 1e-6);
}

TEST(MeshSolid, NoTriangleGivesAnEmptySolid) {
  Mesh m;
  m.vertex(0, 0, 0);
  m.vertex(1, 0, 0);
  pcl::Vertices edge;
  edge.vertices = {0, 1};
  m.polygons.push_back(edge);
  const SolidMesh s = make_solid(m.vertices, m.polygons);
  EXPECT_TRUE(s.vertices.empty());
  EXPECT_TRUE(s.triangles.empty());
  EXPECT_EQ(s.pieces, 0u);
}

TEST(MeshSolid, FormatNamesAndLayers) {
  const struct {
    const char* name;
    bool known;
    MeshFormat format;
  } formats[] = {{"ply", true, MeshFormat::kPly},   {"OBJ", true, MeshFormat::kObj},
                 {"Stl", true, MeshFormat::kStl},   {"dxf", true, MeshFormat::kDxf},
                 {"", false, MeshFormat::kPly},     {"las", false, MeshFormat::kPly},
                 {"ply ", false, MeshFormat::kPly}, {".obj", false, MeshFormat::kPly}};
  for (const auto& f : formats) {
    MeshFormat parsed = MeshFormat::kPly;
    EXPECT_EQ(caikongqu::parse_mesh_format(f.name, parsed), f.known) << f.name;
    EXPECT_EQ(parsed, f.format) << f.name;
  }
  const struct {
    const char* base;
    const char* layer;
  } layers[] = {{"void", "void"},
                {"scan.part2", "scan_part2"},
                {"Stope-3$B", "Stope-3$B"},
                {"空区", "______"},
                {"", "0"},
                {"a_name_of_forty_characters_is_cut_here!!", "a_name_of_forty_characters_is_c"}};
  for (const auto& l : layers) EXPECT_EQ(caikongqu::detail::layer_name(l.base), l.layer) << l.base;
}

TEST(MeshSolid, StlRefusesSiteCoordinatesItCannotHold) {
  pcl::PointCloud<pcl::PointXYZ> points;
  points.push_back(pcl::PointXYZ(-4, -2, -1.5f));
  points.push_back(pcl::PointXYZ(4, 2, 1.5f));
  const struct {
    bool float64;
    Eigen::Vector3d origin;
    double spacing;
    const char* refusal;  // start of the refusal; empty: accepted
  } cases[] = {
      // Stored as 4-byte floats, STL keeps the coordinates exactly as read.
      {false, {0, 0, 0}, 0.1, ""},
      {true, {0, 0, 0}, 0.1, ""},
      // At 2000 m a float's step is 0.12 mm, within a hundredth of 5 cm.
      {true, {1000, 2000, 300}, 0.05, ""},
      {true,
       {512345, 4312345, 120},
       0.1,
       "STL keeps coordinates as 4-byte floats, too coarse "
       "for this cloud's site coordinates: y = 4312347.00, "
       "where a 4-byte float's step is 0.5"},
      {true,
       {512345, 20, 120},
       0.1,
       "STL keeps coordinates as 4-byte floats, too coarse for "
       "this cloud's site coordinates: x = 512349.00"},
  };
  // The refusal's numbers keep their point under a locale with a decimal comma.
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  for (const auto& c : cases) {
    LocalFrame frame;
    frame.float64 = c.float64;
    frame.origin = c.origin;
    const std::string text = caikongqu::detail::check_stl_precision(points, frame, c.spacing);
    EXPECT_EQ(text.rfind(c.refusal, 0), 0u) << text;
    EXPECT_EQ(text.empty(), std::string(c.refusal).empty()) << text;
  }
  std::setlocale(LC_NUMERIC, saved.c_str());
}

// Every format of a solid read back by its own reader: the same vertices, triangles and signed
// volume, nothing open, coordinates with every digit of the input's precision.
TEST(MeshSolid, EveryFormatReadsBackAsTheSameSolid) {
  Mesh m;
  add_box(m, {-4, -2, -1.5}, {8, 4, 3}, true);
  add_box(m, {10, 0.25, 0.125}, {1, 1, 1.1}, true);
  const SolidMesh solid = make_solid(m.vertices, m.polygons);
  ASSERT_EQ(solid.turned, 2u);
  const drone_test::TempDir dir;
  const struct {
    MeshFormat format;
    bool float64;  // vertices moved back to site coordinates held in 8-byte floats
  } cases[] = {{MeshFormat::kPly, false}, {MeshFormat::kPly, true},  {MeshFormat::kObj, false},
               {MeshFormat::kObj, true},  {MeshFormat::kStl, false}, {MeshFormat::kDxf, false},
               {MeshFormat::kDxf, true}};
  for (const auto& c : cases) {
    LocalFrame frame;
    frame.float64 = c.float64;
    if (c.float64) frame.origin = {512345, 4312345, 120};
    const std::string path = dir.file(std::string(c.float64 ? "site" : "local") + "_mesh." +
                                      caikongqu::detail::mesh_extension(c.format));
    SCOPED_TRACE(path);
    safe_output::OutputFile out(path);
    ASSERT_EQ(out.open(), "");
    ASSERT_EQ(caikongqu::detail::write_mesh(out, c.format, m.vertices, solid, frame, "stope_1"),
              "");
    ASSERT_EQ(out.commit(), "");
    const drone_test::MeshCheck read = drone_test::check_mesh(path);
    ASSERT_TRUE(read.read) << read.error;
    EXPECT_EQ(read.vertices, 16);
    EXPECT_EQ(read.triangles, 24);
    EXPECT_EQ(read.degenerate + read.boundary + read.nonmanifold + read.misoriented, 0);
    ASSERT_EQ(read.pieces.size(), 2u);
    EXPECT_NEAR(read.pieces[0], 96.0, 1e-9);
    EXPECT_NEAR(read.pieces[1], 1.1, 1e-6);
    if (c.format == MeshFormat::kDxf) {
      EXPECT_EQ(read.layers, std::vector<std::string>{"stope_1"});
    }
  }
  // The text carries the site coordinate to the last bit of its double, and a float's exact
  // value: 0.125 + 1.1 in single precision is 1.22500002384185791015625.
  const std::string site = drone_test::read_file(dir.file("site_mesh.obj"));
  EXPECT_NE(site.find("\nv 512341 4312343 118.5\n"), std::string::npos);
  EXPECT_NE(site.find("\nv 512355 4312345.25 120.125\n"), std::string::npos);
  const std::string local = drone_test::read_file(dir.file("local_mesh.obj"));
  EXPECT_NE(local.find("\nv 10 0.25 0.125\n"), std::string::npos);
  EXPECT_NE(local.find("\nv 11 1.25 1.225000023841858\n"), std::string::npos);
  EXPECT_NE(local.find("\no stope_1\n"), std::string::npos);
}

}  // namespace
