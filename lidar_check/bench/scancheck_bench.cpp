// The lidar frame validator against its floor, side by side in one run: the bag library alone
// handing over every frame's bytes (open the bag, view the one topic, copy each message into a
// buffer), on a generated recording in the page cache.
//
//   scancheck_bench [--frames N] [--points P] [--runs R] [--dir DIR] [--keep]
//
// Writes N Livox frames of P points each (default 1,000 x 60,000, 1.1 GB; fixed seed) into
// DIR/scancheck_bench.bag (DIR: $TMPDIR or /tmp), then times reading the file in 1 MiB blocks,
// the floor and LidarValidator::validate in turn, R times each (default 3), and prints the
// medians, points per second and validate / floor; then validates once more with the file
// evicted from the page cache. Deletes the bag unless --keep.
#include <livox_ros_driver2/CustomMsg.h>
#include <ros/time.h>
#include <rosbag/bag.h>
#include <rosbag/query.h>
#include <rosbag/view.h>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

double cpu_now() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Wall and CPU time of one pass; on a machine shared with other work the CPU time is the steadier
// figure.
struct Timing {
  std::vector<double> wall;
  std::vector<double> cpu;
  template <class F>
  void time(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = cpu_now();
    f();
    cpu.push_back(cpu_now() - cpu_start);
    wall.push_back(seconds_since(start));
  }
};

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

// The floor: the bag library hands over every message on the topic, each copied into one
// reused buffer; returns the bytes handed over.
uint64_t hand_over(const std::string& path) {
  rosbag::Bag bag(path, rosbag::bagmode::Read);
  rosbag::View view(bag, rosbag::TopicQuery(std::vector<std::string>{kTopic}));
  std::vector<uint8_t> buffer;
  uint64_t bytes = 0;
  for (const rosbag::MessageInstance& m : view) {
    buffer.resize(m.size());
    ros::serialization::OStream stream(buffer.data(), static_cast<uint32_t>(buffer.size()));
    m.write(stream);
    bytes += buffer.size();
  }
  return bytes;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 1000;
  int points = 60000;
  int runs = 3;
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--frames" && i + 1 < argc) {
      frames = std::atoi(argv[++i]);
    } else if (arg == "--points" && i + 1 < argc) {
      points = std::atoi(argv[++i]);
    } else if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (arg == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr, "usage: %s [--frames N] [--points P] [--runs R] [--dir DIR] [--keep]\n",
                   argv[0]);
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

  Timing read_t;
  Timing floor_t;
  Timing validate_t;
  lidar_validate::ValidationResult r;
  uint64_t handed_over = 0;
  for (int i = 0; i < runs; ++i) {
    read_t.time([&] { read_file(path); });
    floor_t.time([&] { handed_over = hand_over(path); });
    validate_t.time([&] {
      r = lidar_validate::LidarValidator::validate(path, kTopic, 100.0, 20.0, 1000, -8.0, 60.0);
    });
  }

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
      handed_over == 0) {
    std::fprintf(stderr, "unexpected result: %s (frames %lld)\n", r.error.c_str(),
                 static_cast<long long>(r.total_frames));
    if (!keep) std::remove(path.c_str());
    return 1;
  }
  const double read = median(read_t.wall);
  const double floor = median(floor_t.wall);
  const double validate = median(validate_t.wall);
  const double floor_cpu = median(floor_t.cpu);
  const double validate_cpu = median(validate_t.cpu);
  std::printf("page cache warm, median of %d alternating runs:\n", runs);
  std::printf("%-32s %8s %8s %10s %12s\n", "", "wall s", "cpu s", "MB/s", "Mpoints/s");
  std::printf("%-32s %8.3f %8.3f %10.1f\n", "read file (1 MiB blocks)", read, median(read_t.cpu),
              mb / read);
  std::printf("%-32s %8.3f %8.3f %10.1f\n", "floor: bag library hands over", floor, floor_cpu,
              mb / floor);
  std::printf("%-32s %8.3f %8.3f %10.1f %12.1f\n", "validate", validate, validate_cpu,
              mb / validate, total_points / validate / 1e6);
  std::printf("validate / floor: %.2fx wall, %.2fx cpu   validate / read file: %.1fx wall\n",
              validate / floor, validate_cpu / floor_cpu, validate / read);
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
