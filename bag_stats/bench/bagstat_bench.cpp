// Times BagAnalyzer::analyze on a recording of several hundred megabytes against reading the
// whole file and against reading every message, with the file's pages in and out of the page
// cache. Usage: bagstat_bench [--mb SIZE] [--dir DIR] [--lz4]
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <rosbag/bag.h>
#include <rosbag/view.h>
#include <sensor_msgs/Imu.h>
#include <sensor_msgs/PointCloud2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bag_stats/bag_analyzer.h"

namespace {

using Clock = std::chrono::steady_clock;

// A lidar frame of 200 KB at 10 Hz and an IMU message at 200 Hz, as a survey drone records them,
// until the bag reaches `megabytes`.
void write_recording(const std::string& path, size_t megabytes, bool lz4) {
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  if (lz4) bag.setCompression(rosbag::compression::LZ4);
  sensor_msgs::PointCloud2 cloud;
  cloud.header.frame_id = "livox_frame";
  cloud.height = 1;
  cloud.width = 200 * 1024 / 16;
  cloud.point_step = 16;
  cloud.row_step = cloud.width * cloud.point_step;
  cloud.data.resize(cloud.row_step);
  uint32_t state = 12345;  // fixed seed: the same bag on every run
  for (uint8_t& b : cloud.data) {
    state = state * 1103515245u + 12345u;
    b = static_cast<uint8_t>(state >> 24);
  }
  sensor_msgs::Imu imu;
  imu.header.frame_id = "imu_link";
  const size_t target = megabytes * 1024 * 1024;
  const ros::Time t0(1700000000, 0);
  for (uint32_t tick = 0; cloud.row_step * (tick / 20) < target; ++tick) {
    const ros::Time t = t0 + ros::Duration(0, 5000000) * tick;  // 200 Hz
    imu.header.seq = tick;
    imu.header.stamp = t;
    bag.write("/imu/data", t, imu);
    if (tick % 20 == 0) {
      cloud.header.seq = tick / 20;
      cloud.header.stamp = t;
      bag.write("/livox/points", t, cloud);
    }
  }
  bag.close();
}

// Drops the file's pages from the page cache (only this file's).
void evict(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

// Reads the file from start to end in 1 MiB blocks; returns the bytes read.
size_t read_whole_file(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  std::vector<char> buf(1 << 20);
  size_t total = 0;
  ssize_t n;
  while ((n = read(fd, buf.data(), buf.size())) > 0) total += static_cast<size_t>(n);
  close(fd);
  return total;
}

// What a reader of every message pays: each payload read (and decompressed) once.
size_t read_every_message(const std::string& path) {
  rosbag::Bag bag(path, rosbag::bagmode::Read);
  rosbag::View view(bag);
  size_t bytes = 0;
  std::vector<uint8_t> buf;
  for (const rosbag::MessageInstance& m : view) {
    buf.resize(m.size());
    ros::serialization::OStream stream(buf.data(), static_cast<uint32_t>(buf.size()));
    m.write(stream);
    bytes += buf.size();
  }
  return bytes;
}

double seconds(const std::function<void()>& f) {
  const auto start = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The best of `runs` timings, with the file evicted before each when `cold`.
double best_of(int runs, bool cold, const std::string& path, const std::function<void()>& f) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    if (cold) evict(path);
    best = std::min(best, seconds(f));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  size_t megabytes = 400;
  std::string dir = "/tmp";
  bool lz4 = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--mb" && i + 1 < argc) {
      megabytes = std::strtoul(argv[++i], nullptr, 10);
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--lz4") {
      lz4 = true;
    } else {
      std::fprintf(stderr, "usage: bagstat_bench [--mb SIZE] [--dir DIR] [--lz4]\n");
      return 2;
    }
  }
  const std::string path = dir + "/bagstat_bench_" + std::to_string(getpid()) + ".bag";

  try {
    std::printf("writing %zu MB (%s) to %s\n", megabytes, lz4 ? "lz4 chunks" : "uncompressed",
                path.c_str());
    const double write_s = seconds([&] { write_recording(path, megabytes, lz4); });
    size_t size = 0;
    const double read_warm = best_of(3, false, path, [&] { size = read_whole_file(path); });
    std::printf("bag: %.1f MB written in %.2f s\n", size / 1048576.0, write_s);

    bag_analyzer::BagAnalysisResult r;
    const double analyze_warm =
        best_of(3, false, path, [&] { r = bag_analyzer::BagAnalyzer::analyze(path); });
    if (!r.success) throw std::runtime_error(r.error_message);
    std::printf("inventory: %u messages, %zu topics, %.2f s of recording\n", r.total_messages,
                r.topics.size(), r.duration);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory so far: %.1f MB\n", usage.ru_maxrss / 1024.0);

    const double every_warm = best_of(1, false, path, [&] { read_every_message(path); });
    const double read_cold = best_of(2, true, path, [&] { read_whole_file(path); });
    const double analyze_cold =
        best_of(2, true, path, [&] { bag_analyzer::BagAnalyzer::analyze(path); });

    std::printf("\n%-34s %10s %12s\n", "", "seconds", "vs file read");
    std::printf("%-34s %10.3f %12s\n", "read whole file, cached", read_warm, "1.00");
    std::printf("%-34s %10.3f %12.4f\n", "analyze, cached", analyze_warm, analyze_warm / read_warm);
    std::printf("%-34s %10.3f %12.2f\n", "read every message, cached", every_warm,
                every_warm / read_warm);
    std::printf("%-34s %10.3f %12s\n", "read whole file, evicted", read_cold, "1.00");
    std::printf("%-34s %10.3f %12.4f\n", "analyze, evicted", analyze_cold,
                analyze_cold / read_cold);
    std::printf(
        "\nanalyze: %.0f messages/s cached; file read: %.0f MB/s cached, %.0f MB/s evicted\n",
        r.total_messages / analyze_warm, size / 1048576.0 / read_warm,
        size / 1048576.0 / read_cold);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bagstat_bench: %s\n", e.what());
    unlink(path.c_str());
    return 1;
  }
  unlink(path.c_str());
  return 0;
}
