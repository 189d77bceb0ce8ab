#include "caikongqu_task.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cloud_writer.h"
#include "testing/mesh_check.h"
#include "testing/output_paths.h"
#include "testing/process.h"
#include "testing/task_run.h"
#include "testing/temp_dir.h"
#include "void_shapes.h"
#include "void_volume/volume_analyzer.h"

namespace {

using voidvol_test::box_points;
using voidvol_test::sphere_points;
using voidvol_test::write_xyz_pcd;

using drone_test::error_line;
using drone_test::TaskRun;

// The reconstruction's intermediate lines depend on how long it runs; the tests look at the
// lines every run reports.
constexpr const char* kReconstructing = "正在重建表面";

TaskRun run_task(const drone_task::ParamMap& options) {
  TaskRun run = drone_test::run_task<CaikongquTask>(options);
  run.lines = drone_test::without_progress_steps(std::move(run.lines), kReconstructing);
  return run;
}

std::vector<std::string> report_lines(const std::string& out) {
  return drone_test::without_progress_steps(drone_test::split_lines(out), kReconstructing);
}

std::string start_line(const std::string& input) {
  return "{\"_progress\":{\"percent\":0,\"message\":\"开始加载点云文件: " + input +
         "\",\"metadata\":{}}}";
}

std::string fixed6(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6f", v);
  return buf;
}

// The parts of a final report line of a successful run.
struct Finish {
  bool matched = false;
  std::string points_count, mesh_polygons, total_volume, component_count;
  std::vector<std::string> volumes;
  std::string document;
};

Finish parse_finish(const std::string& line, const std::string& output_path) {
  static const std::string head =
      "{\"_progress\":{\"percent\":100,\"message\":\"任务完成\",\"metadata\":{\"result\":";
  const std::string tail =
      ",\"files\":[{\"title\":\"重建后点云\",\"remark\":\"PCD格式\",\"path\":\"" + output_path +
      "\"}]}}}";
  Finish f;
  if (line.size() < head.size() + tail.size() || line.compare(0, head.size(), head) != 0 ||
      line.compare(line.size() - tail.size(), tail.size(), tail) != 0) {
    return f;
  }
  f.document = line.substr(head.size(), line.size() - head.size() - tail.size());
  static const std::regex doc(
      R"(\{"points_count":(\d+),"mesh_polygons":(\d+),"total_volume":(\d+\.\d{6}),)"
      R"("component_count":(\d+),"component_volumes":\[((?:\d+\.\d{6}(?:,\d+\.\d{6})*)?)\]\})");
  std::smatch m;
  if (!std::regex_match(f.document, m, doc)) return f;
  f.matched = true;
  f.points_count = m[1];
  f.mesh_polygons = m[2];
  f.total_volume = m[3];
  f.component_count = m[4];
  std::istringstream list(m[5].str());
  std::string v;
  while (std::getline(list, v, ',')) f.volumes.push_back(v);
  return f;
}

class CaikongquTaskTest : public ::testing::Test {
 protected:
  drone_test::TempDir in_;
  drone_test::TempDir out_;
};

TEST_F(CaikongquTaskTest, WithoutInputFailsBeforeAnyReport) {
  for (const drone_task::ParamMap& options :
       {drone_task::ParamMap{}, drone_task::ParamMap{{"input", ""}, {"depth", "5"}}}) {
    const TaskRun run = run_task(options);
    EXPECT_TRUE(run.threw);
    EXPECT_EQ(run.error, "缺少参数 --input");
    EXPECT_TRUE(run.lines.empty());
  }
}

TEST_F(CaikongquTaskTest, ReportsTheAnalysisAsItsDocument) {
  const std::string input = in_.file("scan.v1.pcd");
  write_xyz_pcd(input, sphere_points({0, 0, 0}, 1.0f, 1500, 71));
  const TaskRun run = run_task({{"input", input}, {"depth", "5"}, {"output_dir", out_.path()}});
  ASSERT_FALSE(run.threw) << run.error;
  ASSERT_EQ(run.lines.size(), 4u);
  EXPECT_EQ(run.lines[0], start_line(input));

  const std::string output = out_.path() + "/scan.v1_reconstructed.pcd";
  const Finish f = parse_finish(run.lines[3], output);
  ASSERT_TRUE(f.matched) << run.lines[3];
  EXPECT_EQ(run.lines[1],
            "{\"_progress\":{\"percent\":50,\"message\":\"Poisson 重建完成，mesh 面片数: " +
                f.mesh_polygons + ", 连通分量数: " + f.component_count + "\",\"metadata\":{}}}");
  EXPECT_EQ(f.points_count, "1500");
  EXPECT_EQ(f.component_count, std::to_string(f.volumes.size()));
  EXPECT_FALSE(drone_test::read_file(output).empty());

  // The same numbers as the analyzer's own record, with six decimals.
  const caikongqu::VolumeResult r = caikongqu::VolumeAnalyzer::analyze(input, 5, out_.path());
  ASSERT_TRUE(r.success);
  EXPECT_EQ(f.mesh_polygons, std::to_string(r.mesh_polygons));
  EXPECT_EQ(f.total_volume, fixed6(r.total_volume));
  ASSERT_EQ(f.volumes.size(), r.component_volumes.size());
  for (size_t i = 0; i < f.volumes.size(); ++i) {
    EXPECT_EQ(f.volumes[i], fixed6(r.component_volumes[i]));
  }
  // The share of the surface no point supports, in percent with two decimals.
  char share[32];
  std::snprintf(share, sizeof share, "%.2f", 100.0 * r.unscanned_share);
  EXPECT_EQ(run.lines[2],
            std::string("{\"_progress\":{\"percent\":50,\"message\":\"未扫描表面占比: ") + share +
                " %\",\"metadata\":{}}}");
  EXPECT_LT(r.unscanned_share, 0.01);
  EXPECT_EQ(r.stray_points, 0u);
}

TEST_F(CaikongquTaskTest, StrayAndRepeatedPointsAreLeftOutAndCounted) {
  // A sphere of radius 5 with three returns 50 m off, or written twice and a half (cumulative
  // keyframes merged): the clean sphere's volume and output, one piece, and a line saying how
  // many points were left out or merged.
  const std::string clean = in_.file("clean.pcd");
  const std::vector<voidvol_test::Point> points = sphere_points({0, 0, 0}, 5.0f, 3000, 77);
  write_xyz_pcd(clean, points);
  const TaskRun expected =
      run_task({{"input", clean}, {"depth", "6"}, {"output_dir", out_.path()}});
  ASSERT_FALSE(expected.threw) << expected.error;
  const Finish g = parse_finish(expected.lines[3], out_.path() + "/clean_reconstructed.pcd");
  ASSERT_TRUE(g.matched);

  std::vector<voidvol_test::Point> dusty = points, repeated = points;
  dusty.insert(dusty.end(), {{50, 0, 0}, {0, -55, 0}, {0, 0, 55}});
  repeated.insert(repeated.end(), points.begin(), points.end());
  repeated.insert(repeated.end(), points.begin(), points.begin() + 1500);
  struct Case {
    const char* name;
    const std::vector<voidvol_test::Point>& points;
    const char* line;
    const char* count;
  };
  for (const Case& c :
       {Case{"dusty", dusty, "已剔除离群点: 3 个（共 3003 个点）", "3003"},
        Case{"repeated", repeated, "已合并重复点: 4500 个（共 7500 个点）", "7500"}}) {
    SCOPED_TRACE(c.name);
    const std::string input = in_.file(std::string(c.name) + ".pcd");
    write_xyz_pcd(input, c.points);
    const TaskRun run = run_task({{"input", input}, {"depth", "6"}, {"output_dir", out_.path()}});
    ASSERT_FALSE(run.threw) << run.error;
    ASSERT_EQ(run.lines.size(), 5u);
    EXPECT_EQ(run.lines[2], std::string("{\"_progress\":{\"percent\":50,\"message\":\"") + c.line +
                                "\",\"metadata\":{}}}");
    EXPECT_EQ(run.lines[3], expected.lines[2]);  // the unscanned share
    const std::string output = out_.path() + "/" + c.name + "_reconstructed.pcd";
    const Finish f = parse_finish(run.lines[4], output);
    ASSERT_TRUE(f.matched);
    EXPECT_EQ(f.points_count, c.count);
    EXPECT_EQ(f.volumes, g.volumes);
    EXPECT_EQ(drone_test::read_file(output),
              drone_test::read_file(out_.path() + "/clean_reconstructed.pcd"));
  }
}

TEST_F(CaikongquTaskTest, PieceInsideTheVoidIsLeftOutAndSaid) {
  // A dust cloud in the middle of a sphere of radius 5 becomes a small surface of its own inside
  // the void: one piece is reported, of the sphere's volume, and a line says what was left out.
  std::vector<voidvol_test::Point> points = sphere_points({0, 0, 0}, 5.0f, 3000, 78);
  const std::vector<voidvol_test::Point> dust = sphere_points({1, 0, 0}, 0.5f, 200, 79);
  points.insert(points.end(), dust.begin(), dust.end());
  const std::string input = in_.file("dust.pcd");
  write_xyz_pcd(input, points);
  const TaskRun run = run_task({{"input", input}, {"depth", "6"}, {"output_dir", out_.path()}});
  ASSERT_FALSE(run.threw) << run.error;
  ASSERT_EQ(run.lines.size(), 5u);
  EXPECT_NE(run.lines[1].find("连通分量数: 1\""), std::string::npos) << run.lines[1];
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      run.lines[2], m,
      std::regex("\"message\":\"已剔除内部分量: 1 个（体积 ([0-9.]+)，位于另一分量之内）\"")))
      << run.lines[2];
  EXPECT_GT(std::stod(m[1].str()), 0.0);
  EXPECT_LT(std::stod(m[1].str()), 10.0);
  const Finish f = parse_finish(run.lines[4], out_.path() + "/dust_reconstructed.pcd");
  ASSERT_TRUE(f.matched);
  ASSERT_EQ(f.volumes.size(), 1u);
  EXPECT_NEAR(std::stod(f.volumes[0]), 4.0 / 3.0 * 3.14159265 * 125.0, 0.02 * 523.6);
}

TEST_F(CaikongquTaskTest, SaveMeshWritesTheMeasuredSurface) {
  const std::string input = in_.file("scan.v1.pcd");
  write_xyz_pcd(input, sphere_points({0, 0, 0}, 1.0f, 1500, 76));
  const std::string cloud = out_.path() + "/scan.v1_reconstructed.pcd";
  const std::string mesh = out_.path() + "/scan.v1_mesh.ply";
  const drone_task::ParamMap plain{{"input", input}, {"depth", "5"}, {"output_dir", out_.path()}};
  drone_task::ParamMap with_mesh = plain;
  with_mesh["save_mesh"] = "true";

  const TaskRun run = run_task(with_mesh);
  ASSERT_FALSE(run.threw) << run.error;
  ASSERT_EQ(run.lines.size(), 4u);
  const std::string files =
      ",\"files\":[{\"title\":\"重建后点云\",\"remark\":\"PCD格式\",\"path\":\"" + cloud +
      "\"},{\"title\":\"重建网格\",\"remark\":\"PLY格式（二进制）\","
      "\"path\":\"" +
      mesh + "\"}]}}}";
  const std::string& last = run.lines[3];
  ASSERT_GT(last.size(), files.size());
  EXPECT_EQ(last.substr(last.size() - files.size()), files);

  // The surface that was measured, welded: at most the cloud's vertices and the polygons
  // measured, and as many vertices as the reader finds at distinct positions.
  const std::string ply = drone_test::read_file(mesh);
  EXPECT_EQ(ply.rfind("ply\nformat binary_little_endian 1.0\n", 0), 0u);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(ply, m, std::regex("element vertex (\\d+)\n")));
  const long vertices = std::stol(m[1].str());
  const std::string cloud_text = drone_test::read_file(cloud);
  ASSERT_TRUE(std::regex_search(cloud_text, m, std::regex("\nPOINTS (\\d+)\n")));
  EXPECT_LE(vertices, std::stol(m[1].str()));
  ASSERT_TRUE(std::regex_search(ply, m, std::regex("element face (\\d+)\n")));
  const long faces = std::stol(m[1].str());
  ASSERT_TRUE(std::regex_search(run.lines[1], m, std::regex("mesh 面片数: (\\d+),")));
  EXPECT_LE(faces, std::stol(m[1].str()));
  const drone_test::MeshCheck read = drone_test::check_mesh(mesh);
  ASSERT_TRUE(read.read) << read.error;
  EXPECT_EQ(read.vertices, vertices);
  EXPECT_EQ(read.triangles, faces);

  // Without the option, the same report lines as before and no mesh file.
  ASSERT_EQ(std::remove(mesh.c_str()), 0);
  const TaskRun without = run_task(plain);
  ASSERT_FALSE(without.threw) << without.error;
  ASSERT_EQ(without.lines.size(), 4u);
  EXPECT_TRUE(parse_finish(without.lines[3], cloud).matched) << without.lines[3];
  EXPECT_EQ(without.lines[3].substr(0, without.lines[3].find(",\"files\"")),
            last.substr(0, last.find(",\"files\"")));
  EXPECT_EQ(std::fopen(mesh.c_str(), "rb"), nullptr);
}

TEST_F(CaikongquTaskTest, LargeVolumeKeepsAllItsDigits) {
  // A sphere of radius 200: some 33.5 million cubic units, written with its eight integer digits
  // (the document pattern admits no exponent).
  const std::string input = in_.file("big.pcd");
  write_xyz_pcd(input, sphere_points({0, 0, 0}, 200.0f, 800, 72));
  const TaskRun run = run_task({{"input", input}, {"depth", "5"}, {"output_dir", out_.path()}});
  ASSERT_FALSE(run.threw) << run.error;
  ASSERT_EQ(run.lines.size(), 4u);
  const Finish f = parse_finish(run.lines[3], out_.path() + "/big_reconstructed.pcd");
  ASSERT_TRUE(f.matched) << run.lines[3];
  EXPECT_EQ(f.total_volume.find('.'), 8u) << f.total_volume;
}

TEST_F(CaikongquTaskTest, CloudWithoutSurfaceFailsAndKeepsTheEarlierOutput) {
  // Points without 3-D extent give no surface, and a coordinate whose square overflows single
  // precision breaks the search: each run fails after its first report, the earlier output kept.
  using voidvol_test::Point;
  std::vector<Point> line, plane;
  for (int i = 0; i < 40; ++i) {
    line.push_back({0.5f * i, 1.0f * i, 2 + 0.25f * i});
    const int whole_rows = i / 7;
    const auto row = static_cast<float>(whole_rows);
    plane.push_back({0.5f * (i % 7), 0.25f * row, 0.5f * (i % 7) + 0.25f * row});
  }
  std::vector<Point> far_off = sphere_points({0, 0, 0}, 1.0f, 300, 78);
  far_off.push_back({1e20f, 0, 0});
  struct Case {
    const char* name;
    std::vector<Point> points;
    std::string error;
  };
  const Case cases[] = {
      {"one place", std::vector<Point>(30, {1, 2, 3}),
       "Points have no 3-D extent: all 30 points coincide"},
      {"one line", line, "Points have no 3-D extent: all 40 points lie on one line"},
      {"one plane", plane, "Points have no 3-D extent: all 40 points lie in one plane"},
      {"1e20", far_off,
       "Coordinate out of range: point 300 has x = 1e+20, beyond the bound of +-1e14 within "
       "which distances fit in single precision"},
  };
  const std::string input = in_.file("spot.pcd");
  const std::string output = out_.path() + "/spot_reconstructed.pcd";
  drone_test::write_file(output, "earlier output");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_xyz_pcd(input, c.points);
    const TaskRun run = run_task({{"input", input}, {"depth", "5"}, {"output_dir", out_.path()}});
    EXPECT_TRUE(run.threw);
    EXPECT_EQ(run.error, c.error);
    EXPECT_EQ(run.lines, std::vector<std::string>{start_line(input)});
    EXPECT_EQ(drone_test::read_file(output), "earlier output");
  }
}

TEST_F(CaikongquTaskTest, AnalysisFailureEndsTheRunAfterTheFirstReport) {
  const std::string input = in_.file("absent.pcd");
  const TaskRun run = run_task({{"input", input}, {"output_dir", out_.path()}});
  EXPECT_TRUE(run.threw);
  EXPECT_EQ(run.error, "Failed to load PCD file: " + input);
  ASSERT_EQ(run.lines.size(), 1u);
  EXPECT_EQ(run.lines[0], start_line(input));
}

TEST_F(CaikongquTaskTest, DepthOptionReachesTheAnalyzer) {
  const std::string input = in_.file("cloud.pcd");
  write_xyz_pcd(input, sphere_points({0, 0, 0}, 1.0f, 2000, 73));
  auto polygons = [&](const char* depth) {
    drone_task::ParamMap options{{"input", input}, {"output_dir", out_.path()}};
    if (depth != nullptr) options["depth"] = depth;
    const TaskRun run = run_task(options);
    EXPECT_FALSE(run.threw) << run.error;
    const Finish f = run.lines.size() == 4
                         ? parse_finish(run.lines[3], out_.path() + "/cloud_reconstructed.pcd")
                         : Finish{};
    EXPECT_TRUE(f.matched);
    return f.mesh_polygons;
  };
  const std::string at8 = polygons("8");
  const std::string at5 = polygons("5");
  ASSERT_NE(at8, at5);
  EXPECT_EQ(polygons(nullptr), at8);  // default
  EXPECT_EQ(polygons("deep"), at8);   // not a number: the default
  EXPECT_EQ(polygons("3"), at5);      // clamped by the analyzer
}

// The program as the supervisor runs it.
class VoidvolNodeTest : public CaikongquTaskTest {
 protected:
  static drone_test::ProcessResult run_node(const std::vector<std::string>& args) {
    return drone_test::run_program("voidvol_node", args);
  }
};

TEST_F(VoidvolNodeTest, SuccessfulRunPrintsOnlyReportLines) {
  // This cloud makes the reconstruction print diagnostics of its own ("Vertex pair not in
  // list"); none may reach the report lines on standard output, nor standard error.
  const std::string input = in_.file("box.pcd");
  write_xyz_pcd(input, box_points({-1, -0.75f, -0.5f}, {1, 0.75f, 0.5f}, 2000, 11));
  const drone_test::ProcessResult p =
      run_node({"--input", input, "--depth", "7", "--output_dir", out_.path()});
  EXPECT_EQ(p.exit_code, 0) << p.err;
  EXPECT_EQ(p.err, "");
  const std::vector<std::string> lines = report_lines(p.out);
  ASSERT_EQ(lines.size(), 4u) << p.out;

  // Byte for byte what the task reports in process for the same job.
  const TaskRun run = run_task({{"input", input}, {"depth", "7"}, {"output_dir", out_.path()}});
  ASSERT_FALSE(run.threw) << run.error;
  EXPECT_EQ(lines, run.lines);
  const Finish f = parse_finish(lines[3], out_.path() + "/box_reconstructed.pcd");
  ASSERT_TRUE(f.matched) << lines[3];
  ASSERT_EQ(f.volumes.size(), 1u);
  EXPECT_NEAR(std::stod(f.total_volume), 3.0, 0.06);
}

TEST_F(VoidvolNodeTest, BadInputEndsWithTheErrorReport) {
  drone_test::write_file(in_.file("prose.pcd"), "this is not\na point cloud\n");
  drone_test::write_file(in_.file("other.pcd"),
                         "VERSION 0.7\nFIELDS a b c\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n"
                         "WIDTH 1\nHEIGHT 1\nPOINTS 1\nDATA ascii\n1 2 3\n");
  write_xyz_pcd(in_.file("sparse.pcd"), sphere_points({0, 0, 0}, 1.0f, 12, 74));
  // Words where numbers belong would be read as 0 or 2.88: a plausible, wrong cloud.
  drone_test::write_file(in_.file("words.pcd"),
                         "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n"
                         "WIDTH 2\nHEIGHT 1\nPOINTS 2\nDATA ascii\n1 2 3\n2.88abc def 1\n");
  // Random bytes as binary point data: values up to the single-precision limit.
  std::string noise =
      "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 400\nHEIGHT 1\n"
      "POINTS 400\nDATA binary\n";
  uint32_t state = 12345;
  for (int i = 0; i < 400 * 12; ++i) {
    state = state * 1664525u + 1013904223u;
    noise += static_cast<char>(state >> 24);
  }
  drone_test::write_file(in_.file("noise.pcd"), noise);
  ASSERT_EQ(mkfifo(in_.file("fifo.pcd").c_str(), 0666), 0);  // would block the reader for ever
  write_xyz_pcd(in_.file("good.pcd"), sphere_points({0, 0, 0}, 1.0f, 300, 75));
  // Refused once reconstructed, the library having printed on both streams on the way.
  std::vector<voidvol_test::Face> no_floor = voidvol_test::box_faces({0, 0, 0}, {4, 3, 2});
  no_floor.erase(no_floor.begin());
  write_xyz_pcd(in_.file("no_floor.pcd"), voidvol_test::face_points(no_floor, 3000, 0.0, 76),
                {2, 1.5f, 1});
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string error;  // empty: any text
  };
  const std::vector<Case> cases{
      {"no input", {"--depth", "6", "--output_dir", out_.path()}, "缺少参数 --input"},
      {"unknown mesh format",
       {"--input", in_.file("good.pcd"), "--output_dir", out_.path(), "--save_mesh", "true",
        "--mesh_format", "las"},
       "未知的网格格式 --mesh_format las（可选 ply、obj、stl、dxf）"},
      {"missing file",
       {"--input", in_.file("absent.pcd"), "--output_dir", out_.path()},
       "Failed to load PCD file: " + in_.file("absent.pcd")},
      {"not a cloud",
       {"--input", in_.file("prose.pcd"), "--output_dir", out_.path()},
       "Failed to load PCD file: " + in_.file("prose.pcd")},
      {"no coordinates",
       {"--input", in_.file("other.pcd"), "--output_dir", out_.path()},
       "PCD file has no float x, y, z fields: " + in_.file("other.pcd")},
      {"text that is not numbers",
       {"--input", in_.file("words.pcd"), "--output_dir", out_.path()},
       "Failed to load PCD file: " + in_.file("words.pcd") +
           " (line 11: \"2.88abc\" is not a number)"},
      {"FIFO",
       {"--input", in_.file("fifo.pcd"), "--output_dir", out_.path()},
       "Failed to load PCD file: " + in_.file("fifo.pcd") + " (not a regular file)"},
      {"directory",
       {"--input", out_.path(), "--output_dir", out_.path()},
       "Failed to load PCD file: " + out_.path() + " (not a regular file)"},
      {"too few points",
       {"--input", in_.file("sparse.pcd"), "--output_dir", out_.path()},
       "Too few valid points to reconstruct a surface: 12 finite of 12 read, at least 20 needed"},
      {"random binary body", {"--input", in_.file("noise.pcd"), "--output_dir", out_.path()}, ""},
      {"floor not scanned", {"--input", in_.file("no_floor.pcd"), "--output_dir", out_.path()}, ""},
      {"no output directory",
       {"--input", in_.file("good.pcd"), "--depth", "5", "--output_dir", out_.file("absent")},
       "Failed to save reconstructed PCD: " + out_.file("absent") +
           "/good_reconstructed.pcd (No such file or directory)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const drone_test::ProcessResult p = run_node(c.args);
    EXPECT_EQ(p.signal, 0);
    EXPECT_EQ(p.exit_code, 1);
    const std::vector<std::string> lines = report_lines(p.out);
    ASSERT_FALSE(lines.empty());
    if (c.name == "no input" || c.name == "unknown mesh format") {
      EXPECT_EQ(lines.size(), 1u);
    } else {
      ASSERT_EQ(lines.size(), 2u) << p.out;
      EXPECT_EQ(lines[0], start_line(c.args[1]));
    }
    // Standard error carries the error line alone, whatever the point-cloud library printed.
    if (!c.error.empty()) {
      EXPECT_EQ(lines.back(), error_line(c.error));
      EXPECT_EQ(p.err, "[ERROR] " + c.error + "\n");
    } else {
      EXPECT_EQ(lines.back().rfind("{\"_progress\":{\"percent\":100,\"message\":\"错误: ", 0), 0u)
          << lines.back();
      EXPECT_EQ(p.err.rfind("[ERROR] ", 0), 0u) << p.err;
      EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1) << p.err;
    }
  }
  // No run left a file behind, the unknown mesh format's included.
  EXPECT_TRUE(std::filesystem::is_empty(out_.path()));
}

TEST_F(VoidvolNodeTest, SampleVoidIsSavedAsAClosedSolidInEveryFormat) {
  // The demo's void: every triangle faced into it and a slit and two collapsed triangles were
  // left where the reconstruction computed one vertex twice. Each format read back by its own
  // reader is closed, faces out of the void and holds the volume reported;
  // the report and the reconstructed cloud do not depend on the format.
  ASSERT_EQ(drone_test::run_program("drone_samples", {in_.path()}).exit_code, 0);
  const std::string input = in_.file("void.pcd");
  std::vector<std::string> first_lines;
  std::string first_cloud;
  for (const std::string format : {"ply", "obj", "stl", "dxf"}) {
    SCOPED_TRACE(format);
    const drone_test::ProcessResult p =
        run_node({"--input", input, "--depth", "8", "--output_dir", out_.path(), "--save_mesh",
                  "true", "--mesh_format", format});
    ASSERT_EQ(p.exit_code, 0) << p.err;
    const std::vector<std::string> lines = report_lines(p.out);
    ASSERT_EQ(lines.size(), 4u) << p.out;
    const std::string cloud = drone_test::read_file(out_.file("void_reconstructed.pcd"));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(lines[3], m, std::regex("\"total_volume\":([0-9.]+),")));
    const drone_test::MeshCheck read = drone_test::check_mesh(out_.file("void_mesh." + format));
    ASSERT_TRUE(read.read) << read.error;
    EXPECT_EQ(read.degenerate, 0);
    EXPECT_EQ(read.boundary, 0);
    EXPECT_EQ(read.nonmanifold, 0);
    EXPECT_EQ(read.misoriented, 0);
    ASSERT_EQ(read.pieces.size(), 1u);
    // Within a unit of the last digit reported: the reconstruction left a slit there, which
    // adds 2.3e-7 m3 to the volume measured about the coordinate origin.
    EXPECT_NEAR(read.volume, std::stod(m[1].str()), 1e-6);
    if (first_lines.empty()) {
      first_lines = lines;
      first_cloud = cloud;
      continue;
    }
    for (size_t k = 0; k < 3; ++k) EXPECT_EQ(lines[k], first_lines[k]);
    const std::string files = ",\"files\":";
    EXPECT_EQ(lines[3].substr(0, lines[3].find(files)),
              first_lines[3].substr(0, first_lines[3].find(files)));
    EXPECT_TRUE(cloud == first_cloud);
  }
}

TEST_F(VoidvolNodeTest, HelpNamesEveryOption) {
  const drone_test::ProcessResult p = run_node({"--help"});
  EXPECT_EQ(p.exit_code, 0);
  for (const char* word : {"--input", "--depth", "8", "--output_dir", "/home/ulvar/savemap",
                           "--save_mesh", "--mesh_format", "ply|obj|stl|dxf", "points_count",
                           "component_volumes", "DRONE_TASK_PROGRESS_URL", "Exit status"}) {
    EXPECT_NE(p.out.find(word), std::string::npos) << word;
  }
}

TEST_F(VoidvolNodeTest, OutputIsReplacedWholeOrNotAtAll) {
  // Whatever lies at the output path: a link is replaced (its target kept), anything else that
  // is not a regular file is refused before the reconstruction; a write failing as on a full
  // disk keeps the earlier output. Nothing of the run is left beside it.
  const std::string input = in_.file("cloud.pcd");
  write_xyz_pcd(input, sphere_points({0, 0, 0}, 1.0f, 300, 76));
  const std::string output = out_.file("cloud_reconstructed.pcd");
  const std::vector<std::string> args{"--input", input,          "--depth",
                                      "5",       "--output_dir", out_.path()};
  for (const drone_test::OutputPathKind& kind : drone_test::output_path_kinds()) {
    SCOPED_TRACE(kind.name);
    const drone_test::TempDir other;
    drone_test::write_file(other.file("kept"), "kept");
    if (!drone_test::make_output_path(kind, output, other.file("kept"))) continue;
    const std::string before = drone_test::path_state(output);
    const drone_test::ProcessResult p = run_node(args);
    EXPECT_EQ(drone_test::path_state(other.file("kept")), "file:kept");
    if (kind.replaced) {
      EXPECT_EQ(p.exit_code, 0) << p.err;
      EXPECT_EQ(drone_test::path_state(output).rfind("file:# .PCD v0.7", 0), 0u);
    } else {
      EXPECT_EQ(p.exit_code, 1);
      EXPECT_EQ(report_lines(p.out).size(), 2u) << p.out;  // no reconstruction report
      EXPECT_NE(p.err.find("[ERROR] Failed to save reconstructed PCD: " + output +
                           " (exists and is not a regular file)\n"),
                std::string::npos)
          << p.err;
      EXPECT_EQ(drone_test::path_state(output), before);
    }
    EXPECT_EQ(drone_test::dir_entries(out_.path()),
              std::vector<std::string>{"cloud_reconstructed.pcd"});
    std::filesystem::remove(output);
  }

  drone_test::write_file(output, "earlier output");
  std::vector<std::string> argv = drone_test::file_size_limit_prefix(16);
  argv.push_back(drone_test::program_path("voidvol_node"));
  argv.insert(argv.end(), args.begin(), args.end());
  const drone_test::ProcessResult p =
      drone_test::run_process(argv, {}, {"DRONE_TASK_PROGRESS_URL"});
  EXPECT_EQ(p.exit_code, 1);
  EXPECT_NE(
      p.err.find("[ERROR] Failed to save reconstructed PCD: " + output + " (File too large)\n"),
      std::string::npos)
      << p.err;
  EXPECT_EQ(drone_test::path_state(output), "file:earlier output");
  EXPECT_EQ(drone_test::dir_entries(out_.path()),
            std::vector<std::string>{"cloud_reconstructed.pcd"});
}

}  // namespace
