// The three programs that write files, ended by SIGTERM while their output is half written:
// the exit status tells the signal, the temporary file is gone and the earlier output is intact.
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
  {
    rosbag::Bag bag(input, rosbag::bagmode::Write);
    std::vector<drone_test::XyzPoint> points(20000);
    for (size_t i = 0; i < points.size(); ++i) {
      points[i].x = static_cast<float>(i % 100);
      points[i].y = static_cast<float>(std::floor(static_cast<double>(i) / 100.0));
      points[i].z = 1.0f;
    }
    for (uint32_t f = 0; f < 400; ++f) {
      const ros::Time stamp(1700000000.0 + f * 0.1);
      bag.write("/livox/lidar", stamp, drone_test::make_livox_frame(f, stamp, points));
    }
  }
  const std::string out_dir = dir.file("out");
  fs::create_directory(out_dir);
  const std::string output = out_dir + "/converted.bag";
  expect_clean_end(
      {drone_test::program_path("cloudconv_node"), "--input_bag", input, "--output_bag", output},
      out_dir, output);
}

}  // namespace
