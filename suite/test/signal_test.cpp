// The three programs that write files, ended by SIGTERM while their output is half written: the
// exit status tells the signal, the temporary file is gone and the earlier output is intact. And
// the same programs under a file size limit, which SIGXFSZ must not turn into a silent death.
#include <gtest/gtest.h>
#include <livox_ros_driver2/CustomMsg.h>
#include <rosbag/bag.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testing/livox.h"
#include "testing/output_paths.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// True once `dir` holds a temporary output file with data in it.
bool writing_in(const std::string& dir) {
  std::error_code ec;
  const fs::directory_iterator entries(dir, ec);
  return std::any_of(fs::begin(entries), fs::end(entries), [](const fs::directory_entry& entry) {
    const std::string name = entry.path().filename().string();
    return name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0;
  });
}

// Runs the program until it writes in `dir`, ends it with SIGTERM and checks what is left.
void expect_clean_end(const std::vector<std::string>& argv, const std::string& dir,
                      const std::string& output) {
  drone_test::write_file(output, "earlier output");
  const drone_test::ProcessResult run = drone_test::signal_when(
      argv, [&dir] { return writing_in(dir); }, SIGTERM);
  EXPECT_EQ(run.signal, SIGTERM) << "exit " << run.exit_code;
  EXPECT_FALSE(writing_in(dir));
  EXPECT_EQ(drone_test::path_state(output), "file:earlier output");
}

// A binary PCD of x y z with `points` points spread over a ball of radius 5.
void write_cloud(const std::string& path, uint32_t points, uint32_t seed) {
  std::ofstream out(path, std::ios::binary);
  out << "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH " << points
      << "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " << points << "\nDATA binary\n";
  uint32_t state = seed * 2654435761u + 1;
  for (uint32_t p = 0; p < points; ++p) {
    float v[3];
    double norm = 0;
    for (float& c : v) {
      state = state * 1664525u + 1013904223u;
      c = static_cast<float>(state % 20001) / 1000.0f - 10.0f;
      norm += static_cast<double>(c) * c;
    }
    const double scale = norm > 0 ? 5.0 / std::sqrt(norm) : 0.0;
    for (float& c : v) c = static_cast<float>(c * scale);
    out.write(reinterpret_cast<const char*>(v), sizeof v);
  }
}

// A Livox bag of `frames` frames of `points` points each on /livox/lidar.
void write_livox_bag(const std::string& path, uint32_t frames, size_t points_per_frame) {
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  std::vector<drone_test::XyzPoint> points(points_per_frame);
  for (size_t i = 0; i < points.size(); ++i) {
    points[i].x = static_cast<float>(i % 100);
    points[i].y = static_cast<float>(std::floor(static_cast<double>(i) / 100.0));
    points[i].z = 1.0f;
  }
  for (uint32_t f = 0; f < frames; ++f) {
    const ros::Time stamp(1700000000.0 + f * 0.1);
    bag.write("/livox/lidar", stamp, drone_test::make_livox_frame(f, stamp, points));
  }
}

TEST(EndedBySignal, ScanMerge) {
  const drone_test::TempDir dir;
  const std::string scan = dir.file("scan");
  fs::create_directory(scan);
  for (uint32_t k = 0; k < 200; ++k) {
    write_cloud(scan + "/" + std::to_string(k) + ".pcd", 30000, k);
  }
  const std::string output = dir.file("full.pcd");
  expect_clean_end(
      {drone_test::program_path("scanmerge_node"), "--scan_dir", scan, "--output_pcd", output},
      dir.path(), output);
}

TEST(EndedBySignal, VoidVolume) {
  const drone_test::TempDir dir;
  const std::string input = dir.file("void.pcd");
  write_cloud(input, 200000, 1);
  const std::string out_dir = dir.file("out");
  fs::create_directory(out_dir);
  expect_clean_end({drone_test::program_path("voidvol_node"), "--input", input, "--output_dir",
                    out_dir, "--save_mesh", "false"},
                   out_dir, out_dir + "/void_reconstructed.pcd");
}

TEST(EndedBySignal, Conversion) {
  const drone_test::TempDir dir;
  const std::string input = dir.file("in.bag");
  write_livox_bag(input, 400, 20000);
  const std::string out_dir = dir.file("out");
  fs::create_directory(out_dir);
  const std::string output = out_dir + "/converted.bag";
  expect_clean_end(
      {drone_test::program_path("cloudconv_node"), "--input_bag", input, "--output_bag", output},
      out_dir, output);
}

TEST(FileSizeLimit, EveryWritingProgramReportsTheFailedWrite) {
  // Each output is several times the limit; the inputs are written before the limit applies.
  const drone_test::TempDir dir;
  const std::string out_dir = dir.file("out");
  fs::create_directory(out_dir);
  const std::string scan = dir.file("scan");
  fs::create_directory(scan);
  for (uint32_t k = 0; k < 3; ++k) write_cloud(scan + "/" + std::to_string(k) + ".pcd", 5000, k);
  write_cloud(dir.file("void.pcd"), 5000, 7);
  write_livox_bag(dir.file("in.bag"), 20, 2000);
  const struct {
    const char* program;
    std::vector<std::string> args;
    std::vector<std::string> outputs;  // relative to out_dir; each holds an earlier file
  } cases[] = {
      {"scanmerge_node", {"--scan_dir", scan, "--output_pcd", out_dir + "/full.pcd"}, {"full.pcd"}},
      {"voidvol_node",
       {"--input", dir.file("void.pcd"), "--output_dir", out_dir, "--save_mesh", "true"},
       {"void_mesh.ply", "void_reconstructed.pcd"}},
      {"cloudconv_node",
       {"--input_bag", dir.file("in.bag"), "--output_bag", out_dir + "/converted.bag"},
       {"converted.bag"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    for (const std::string& name : c.outputs) {
      drone_test::write_file(out_dir + "/" + name, "earlier output");
    }
    std::vector<std::string> argv = drone_test::file_size_limit_prefix(16);
    argv.push_back(drone_test::program_path(c.program));
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const drone_test::ProcessResult run =
        drone_test::run_process(argv, {}, {"DRONE_TASK_PROGRESS_URL"});
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(drone_test::error_text(run).find("File too large"), std::string::npos) << run.err;
    const std::vector<std::string> lines = drone_test::split_lines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("\"错误: "), std::string::npos) << lines.back();
    EXPECT_EQ(drone_test::dir_entries(out_dir), c.outputs);
    for (const std::string& name : c.outputs) {
      EXPECT_EQ(drone_test::path_state(out_dir + "/" + name), "file:earlier output") << name;
      fs::remove(out_dir + "/" + name);
    }
  }
}

}  // namespace
