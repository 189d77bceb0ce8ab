// Throughput of the lidar frame validator on a generated recording of a few hundred MB.
//
//   scancheck_bench [--frames N] [--points P] [--dir DIR] [--keep]
//
// Writes N Livox frames of P points each (fixed seed) to DIR/scancheck_bench.bag, then times
// three passes over it: reading the file in 1 MiB blocks (the floor set by the storage), a
// decode-only pass through the bag library (every frame instantiated, nothing checked), and
// LidarValidator::validate, first with the file in the page cache, then reading the file and
// validating again with the file evicted from the cache before each. Prints points per second
// and the ratios between the passes.
#include <livox_ros_driver2/CustomMsg.h>
#include <ros/time.h>
#include <rosbag/bag.h>
#include <rosbag/query.h>
#include <rosbag/view.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "lidar_check/lidar_validator.h"

namespace {

constexpr char kTopic[] = "/livox/lidar";

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Writes the recording: 10 frames per second, points over a 70-degree band with a few NaN.
void write_bag(const std::string& path, int frames, int points) {
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  std::mt19937 rng(4242);
  std::uniform_real_distribution<float> range(1.0f, 80.0f);
  std::uniform_real_distribution<float> angle(-0.2f, 1.0f);
  std::uniform_real_distribution<float> heading(-3.14159f, 3.14159f);
  livox_ros_driver2::CustomMsg frame;
  frame.header.frame_id = "livox_frame";
  frame.points.resize(static_cast<size_t>(points));
  for (int i = 0; i < frames; ++i) {
    const ros::Time stamp = ros::Time(1700000000, 0) + ros::Duration(0.1 * i);
    frame.header.seq = static_cast<uint32_t>(i);
    frame.header.stamp = stamp;
    frame.timebase = stamp.toNSec();
    frame.point_num = static_cast<uint32_t>(points);
    for (int k = 0; k < points; ++k) {
      livox_ros_driver2::CustomPoint& p = frame.points[static_cast<size_t>(k)];
      const float r = range(rng);
      const float e = angle(rng);
      const float h = heading(rng);
      p.offset_time = static_cast<uint32_t>(k * 5000);
      p.x = r * std::cos(e) * std::cos(h);
      p.y = r * std::cos(e) * std::sin(h);
      p.z = r * std::sin(e);
      if (k % 997 == 0) p.x = std::numeric_limits<float>::quiet_NaN();
      p.reflectivity = static_cast<uint8_t>(k);
    }
    bag.write(kTopic, stamp, frame);
  }
  bag.close();
}

// Drops the file's pages from the page cache (after writing back any dirty ones), so that the
// next pass reads it from the disk.
void evict(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  fsync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

// Reads the whole file in 1 MiB blocks; returns the bytes read.
size_t read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> block(1 << 20);
  size_t total = 0;
  while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
    total += static_cast<size_t>(in.gcount());
  }
  return total;
}

// Instantiates every frame on the topic; returns the points seen.
uint64_t decode_only(const std::string& path) {
  rosbag::Bag bag(path, rosbag::bagmode::Read);
  rosbag::View view(bag, rosbag::TopicQuery(std::vector<std::string>{kTopic}));
  uint64_t points = 0;
  for (const rosbag::MessageInstance& m : view) {
    const auto frame = m.instantiate<livox_ros_driver2::CustomMsg>();
    if (frame) points += frame->points.size();
  }
  return points;
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 800;
  int points = 20000;
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--frames" && i + 1 < argc) {
      frames = std::atoi(argv[++i]);
    } else if (arg == "--points" && i + 1 < argc) {
      points = std::atoi(argv[++i]);
    } else if (arg == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (arg == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr, "usage: %s [--frames N] [--points P] [--dir DIR] [--keep]\n", argv[0]);
      return 2;
    }
  }
  const std::string path = dir + "/scancheck_bench.bag";

  auto start = std::chrono::steady_clock::now();
  write_bag(path, frames, points);
  const double write_s = seconds_since(start);
  const size_t bytes = read_file(path);  // brings the file into the page cache
  const double mb = static_cast<double>(bytes) / 1e6;
  const double total_points = static_cast<double>(frames) * points;
  std::printf("recording: %d frames x %d points = %.0f points, %.1f MB (written in %.2f s)\n",
              frames, points, total_points, mb, write_s);

  start = std::chrono::steady_clock::now();
  read_file(path);
  const double read_s = seconds_since(start);

  start = std::chrono::steady_clock::now();
  const uint64_t decoded = decode_only(path);
  const double decode_s = seconds_since(start);

  start = std::chrono::steady_clock::now();
  const lidar_validate::ValidationResult r =
      lidar_validate::LidarValidator::validate(path, kTopic, 100.0, 20.0, 1000, -8.0, 60.0);
  const double validate_s = seconds_since(start);

  evict(path);
  start = std::chrono::steady_clock::now();
  read_file(path);
  const double cold_read_s = seconds_since(start);
  evict(path);
  start = std::chrono::steady_clock::now();
  const lidar_validate::ValidationResult cold =
      lidar_validate::LidarValidator::validate(path, kTopic, 100.0, 20.0, 1000, -8.0, 60.0);
  const double cold_validate_s = seconds_since(start);

  if (!cold.success || cold.total_frames != frames || !r.success || r.total_frames != frames ||
      decoded != static_cast<uint64_t>(total_points)) {
    std::fprintf(stderr, "unexpected result: %s (frames %lld)\n", r.error.c_str(),
                 static_cast<long long>(r.total_frames));
    return 1;
  }
  std::printf("cached:\n");
  std::printf("read file:    %7.3f s  %8.1f MB/s\n", read_s, mb / read_s);
  std::printf("decode only:  %7.3f s  %8.1f MB/s  %7.1f Mpoints/s\n", decode_s, mb / decode_s,
              total_points / decode_s / 1e6);
  std::printf("validate:     %7.3f s  %8.1f MB/s  %7.1f Mpoints/s\n", validate_s, mb / validate_s,
              total_points / validate_s / 1e6);
  std::printf("validate / read file: %.1fx   validate / decode only: %.2fx\n", validate_s / read_s,
              validate_s / decode_s);
  std::printf("evicted from the page cache:\n");
  std::printf("read file:    %7.3f s  %8.1f MB/s\n", cold_read_s, mb / cold_read_s);
  std::printf("validate:     %7.3f s  %8.1f MB/s  %7.1f Mpoints/s\n", cold_validate_s,
              mb / cold_validate_s, total_points / cold_validate_s / 1e6);
  std::printf("validate / read file: %.1fx\n", cold_validate_s / cold_read_s);
  std::printf("findings: %lld high-NaN frames, %lld frames outside the band, %lld late frames\n",
              static_cast<long long>(r.high_nan_frames),
              static_cast<long long>(r.invalid_angle_frames),
              static_cast<long long>(r.anomaly_frames));
  if (!keep) std::remove(path.c_str());
  return 0;
}
