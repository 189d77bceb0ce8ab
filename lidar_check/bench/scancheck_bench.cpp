// The lidar frame validator against its floor, side by side in one run: the bag library alone
// handing over every frame's bytes (open the bag, view the one topic, copy each message into a
// buffer), on a generated recording in the page cache.
//
//   scancheck_bench [--frames N] [--points P] [--runs R] [--connections C] [--lag S] [--map-mib M]
//                   [--dir DIR] [--keep]
//
// Writes N Livox frames of P points each (default 1,000 x 60,000, 1.1 GB; fixed seed) into
// DIR/scancheck_bench.bag (DIR: $TMPDIR or /tmp), then times reading the file in 1 MiB blocks,
// the floor and LidarValidator::validate in turn, R times each (default 3), and prints the
// medians, points per second and validate / floor; then validates once more with the file
// evicted from the page cache, and once in a child process for its peak memory. Last, a
// recording of many connections (C connections of 10 small messages each beside 100 small
// frames, default C = 3,500) is timed against the floor. Then two shapes, each timed against the
// floor with the validation's peak memory: the recording with 200 IMU messages a second stamped S
// seconds behind the frames (default 3) and written at their stamps, so that chunks overlap in
// time throughout; and a tenth of the frames with one message of M MiB (default 300) on another
// topic. Last, ROS 2: the N frames in an MCAP file (Livox frames in CDR), uncompressed and in
// zstd chunks, each timed against its floor, reading the file and decompressing its chunks
// (a walk over the records, every chunk decompressed into one reused buffer), with the
// validation's peak memory. Deletes the recordings unless --keep.
#include <livox_ros_driver2/CustomMsg.h>
#include <ros/time.h>
#include <rosbag/bag.h>
#include <rosbag/query.h>
#include <rosbag/view.h>
#include <std_msgs/String.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_main.h"
#include "bench/mcap_file.h"
#include "bench/measure.h"
#include "lidar_check/lidar_validator.h"

namespace {

constexpr char kTopic[] = "/livox/lidar";

using drone_bench::time_here;
using drone_bench::Usage;

// The shape of a recording beside its frames.
struct Shape {
  int connections = 0;   // each second also holds 10 small messages on this many topics
  double imu_lag = 0.0;  // > 0: 200 IMU messages a second stamped this far behind the frames and
                         // written at their stamps, so that chunks overlap in time
  int map_mib = 0;       // > 0: one message of this many MiB (a recorded map) halfway through
  rosbag::compression::CompressionType compression = rosbag::compression::Uncompressed;
};

// Writes the recording: 10 frames per second, points over a 70-degree band with a few NaN, and
// what `shape` adds.
void write_bag(const std::string& path, int frames, int points, const Shape& shape = {}) {
  const int connections = shape.connections;
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  bag.setCompression(shape.compression);
  std_msgs::String status;
  status.data = "ok";
  std_msgs::String imu;  // an IMU sample's size, roughly
  imu.data.assign(300, 'i');
  std::vector<std::string> topics;
  topics.reserve(static_cast<size_t>(connections));
  for (int c = 0; c < connections; ++c) topics.push_back("/status/" + std::to_string(c));
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
    for (int k = 0; shape.imu_lag > 0.0 && k < 20; ++k) {
      bag.write("/livox/imu", stamp + ros::Duration(0.005 * k - shape.imu_lag), imu);
    }
    if (shape.map_mib > 0 && i == frames / 2) {
      std_msgs::String map;
      map.data.assign(static_cast<size_t>(shape.map_mib) << 20, 'm');
      bag.write("/map", stamp, map);
    }
    if (i % 10 == 0) {
      for (int k = 0; k < 10; ++k) {
        for (const std::string& topic : topics) {
          bag.write(topic, stamp + ros::Duration(0.01 * k), status);
        }
      }
    }
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

// The frames of write_bag (same points, same stamps, without the other topics) as ROS 2 writes
// them: an MCAP file of CDR frames, chunks plain or zstd.
void write_mcap(const std::string& path, int frames, int points, const std::string& compression) {
  drone_bench::McapFile::Options options;
  options.compression = compression;
  drone_bench::McapFile mcap(path, options);
  const uint16_t lidar = mcap.add_channel(kTopic, "livox_ros_driver2/msg/CustomMsg",
                                          drone_bench::kLivoxFrameDefinition);
  std::mt19937 rng(4242);
  std::uniform_real_distribution<float> range(1.0f, 80.0f);
  std::uniform_real_distribution<float> angle(-0.2f, 1.0f);
  std::uniform_real_distribution<float> heading(-3.14159f, 3.14159f);
  std::vector<float> xyz(3 * static_cast<size_t>(points));
  std::vector<uint8_t> frame;
  for (int i = 0; i < frames; ++i) {
    for (int k = 0; k < points; ++k) {
      const float r = range(rng);
      const float e = angle(rng);
      const float h = heading(rng);
      float* p = &xyz[3 * static_cast<size_t>(k)];
      p[0] = k % 997 == 0 ? std::numeric_limits<float>::quiet_NaN() : r * std::cos(e) * std::cos(h);
      p[1] = r * std::cos(e) * std::sin(h);
      p[2] = r * std::sin(e);
    }
    const uint64_t stamp = 1700000000ULL * 1000000000ULL + static_cast<uint64_t>(i) * 100000000;
    drone_bench::livox_frame_cdr(stamp, xyz.data(), static_cast<uint32_t>(points), frame);
    mcap.write(lidar, stamp, frame.data(), frame.size());
  }
  mcap.close();
}

// scancheck on the frames in MCAP files, plain and zstd, against reading and decompressing.
bool ros2_rows(const std::string& dir, int frames, int points, int runs, bool keep) {
  bool all_ok = true;
  for (const char* compression : {"", "zstd"}) {
    const std::string path = dir + "/scancheck_bench.mcap";
    drone_bench::apart([&] { write_mcap(path, frames, points, compression); });
    const double mcap_mb = static_cast<double>(read_file(path)) / 1e6;
    drone_bench::Samples floor_t;
    drone_bench::Samples validate_t;
    lidar_validate::ValidationResult r;
    for (int i = 0; i < runs; ++i) {
      floor_t.add(time_here([&] { drone_bench::mcap_read_floor(path); }));
      validate_t.add(time_here([&] {
        r = lidar_validate::LidarValidator::validate(path, kTopic, 100.0, 20.0, 1000, -8.0, 60.0);
      }));
    }
    const drone_bench::ChildRun child = drone_bench::run_in_child([&] {
      const lidar_validate::ValidationResult cr =
          lidar_validate::LidarValidator::validate(path, kTopic, 100.0, 20.0, 1000, -8.0, 60.0);
      if (!cr.success) throw std::runtime_error(cr.error);
      return std::string();
    });
    const bool ok = r.success && r.total_frames == frames && child.ok();
    const Usage floor_m = floor_t.summary();
    const Usage validate_m = validate_t.summary();
    std::printf(
        "ROS 2 MCAP, %s chunks, %.0f MB: read and decompress %.3f s (cpu %.3f), validate %.3f s "
        "(cpu %.3f): %.2fx wall, %.2fx cpu; peak memory %.1f MiB%s\n",
        *compression != 0 ? compression : "plain", mcap_mb, floor_m.wall_seconds,
        floor_m.cpu_seconds, validate_m.wall_seconds, validate_m.cpu_seconds,
        validate_m.wall_seconds / floor_m.wall_seconds,
        validate_m.cpu_seconds / floor_m.cpu_seconds, child.usage.peak_mib,
        ok ? "" : (" UNEXPECTED RESULT: " + r.error).c_str());
    std::fflush(stdout);
    all_ok = all_ok && ok;
    if (!keep) std::remove(path.c_str());
  }
  return all_ok;
}

int run_bench(drone_bench::Options& options) {
  const int frames = static_cast<int>(options.integer("frames", 1000, 1));
  const int points = static_cast<int>(options.integer("points", 60000, 1));
  const int runs = static_cast<int>(options.integer("runs", 3, 1));
  const std::string dir = options.text("dir", drone_bench::default_temp_parent());
  const int connections = static_cast<int>(options.integer("connections", 3500, 1));
  const bool keep = options.flag("keep");
  const double lag = options.number("lag", 3.0);
  const int map_mib = static_cast<int>(options.integer("map-mib", 300, 1));
  options.check_all_known();
  const std::string path = dir + "/scancheck_bench.bag";

  const double write_s =
      time_here([&] { drone_bench::apart([&] { write_bag(path, frames, points); }); }).wall_seconds;
  const size_t bytes = read_file(path);  // brings the file into the page cache
  const double mb = static_cast<double>(bytes) / 1e6;
  const double total_points = static_cast<double>(frames) * points;
  std::printf("recording: %d frames x %d points = %.0f points, %.1f MB (written in %.2f s)\n",
              frames, points, total_points, mb, write_s);

  // On a machine shared with other work the CPU time is the steadier figure.
  drone_bench::Samples read_t;
  drone_bench::Samples floor_t;
  drone_bench::Samples validate_t;
  lidar_validate::ValidationResult r;
  uint64_t handed_over = 0;
  for (int i = 0; i < runs; ++i) {
    read_t.add(time_here([&] { read_file(path); }));
    floor_t.add(time_here([&] { handed_over = hand_over(path); }));
    validate_t.add(time_here([&] {
      r = lidar_validate::LidarValidator::validate(path, kTopic, 100.0, 20.0, 1000, -8.0, 60.0);
    }));
  }

  evict(path);
  const double cold_read_s = time_here([&] { read_file(path); }).wall_seconds;
  evict(path);
  lidar_validate::ValidationResult cold;
  const double cold_validate_s = time_here([&] {
                                   cold = lidar_validate::LidarValidator::validate(
                                       path, kTopic, 100.0, 20.0, 1000, -8.0, 60.0);
                                 }).wall_seconds;

  if (!cold.success || cold.total_frames != frames || !r.success || r.total_frames != frames ||
      handed_over == 0) {
    if (!keep) std::remove(path.c_str());
    throw std::runtime_error("unexpected result: " + r.error + " (frames " +
                             std::to_string(r.total_frames) + ")");
  }
  const Usage read_m = read_t.summary();
  const Usage floor_m = floor_t.summary();
  const Usage validate_m = validate_t.summary();
  const double read = read_m.wall_seconds;
  const double floor = floor_m.wall_seconds;
  const double validate = validate_m.wall_seconds;
  const double floor_cpu = floor_m.cpu_seconds;
  const double validate_cpu = validate_m.cpu_seconds;
  std::printf("page cache warm, median of %d alternating runs:\n", runs);
  std::printf("%-32s %8s %8s %10s %12s\n", "", "wall s", "cpu s", "MB/s", "Mpoints/s");
  std::printf("%-32s %8.3f %8.3f %10.1f\n", "read file (1 MiB blocks)", read, read_m.cpu_seconds,
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
  const drone_bench::ChildRun child = drone_bench::run_in_child([&] {
    lidar_validate::LidarValidator::validate(path, kTopic, 100.0, 20.0, 1000, -8.0, 60.0);
    return std::string();
  });
  std::printf("validate in a child: peak memory %.1f MiB for a %.0f MB recording\n",
              child.usage.peak_mib, mb);
  if (!keep) std::remove(path.c_str());

  // Many connections: the frames are few and small, the other topics many.
  const std::string many = dir + "/scancheck_bench_connections.bag";
  constexpr int kFewFrames = 100;
  Shape spread;
  spread.connections = connections;
  drone_bench::apart([&] { write_bag(many, kFewFrames, 1000, spread); });
  read_file(many);
  const double many_floor = time_here([&] { hand_over(many); }).wall_seconds;
  lidar_validate::ValidationResult mr;
  const double many_validate =
      time_here([&] {
        mr = lidar_validate::LidarValidator::validate(many, kTopic, 100.0, 20.0, 10, -8.0, 60.0);
      }).wall_seconds;
  std::printf(
      "%d connections x 10 messages beside %d frames: floor %.3f s, validate %.3f s "
      "(%.2fx)%s\n",
      connections, kFewFrames, many_floor, many_validate, many_validate / many_floor,
      mr.success && mr.total_frames == kFewFrames ? "" : " UNEXPECTED RESULT");
  if (!keep) std::remove(many.c_str());

  // Shapes that a reader holding more than one chunk at a time pays for in memory: chunks that
  // overlap in time throughout, and one message larger than a chunk may hold on another topic.
  bool shapes_ok = true;
  const auto shape_row = [&](const std::string& name, int shape_frames, const Shape& shape) {
    const std::string shaped = dir + "/scancheck_bench_shape.bag";
    drone_bench::apart([&] { write_bag(shaped, shape_frames, points, shape); });
    const double shaped_mb = static_cast<double>(read_file(shaped)) / 1e6;
    const double shaped_floor = time_here([&] { hand_over(shaped); }).wall_seconds;
    const drone_bench::ChildRun run = drone_bench::run_in_child([&] {
      const lidar_validate::ValidationResult sr =
          lidar_validate::LidarValidator::validate(shaped, kTopic, 100.0, 20.0, 1000, -8.0, 60.0);
      if (!sr.success || sr.total_frames != shape_frames) throw std::runtime_error(sr.error);
      return std::string();
    });
    std::printf("%s, %.0f MB: floor %.3f s, validate %.3f s (%.2fx), peak memory %.1f MiB%s\n",
                name.c_str(), shaped_mb, shaped_floor, run.usage.wall_seconds,
                run.usage.wall_seconds / shaped_floor, run.usage.peak_mib,
                run.ok() ? "" : " FAILED");
    shapes_ok = shapes_ok && run.ok();
    if (!keep) std::remove(shaped.c_str());
  };
  Shape overlapping;
  overlapping.imu_lag = lag;
  shape_row("IMU stamped " + std::to_string(lag).substr(0, 3) + " s behind (overlapping chunks)",
            frames, overlapping);
  const std::pair<const char*, rosbag::compression::CompressionType> map_chunks[] = {
      {"plain", rosbag::compression::Uncompressed},
      {"lz4", rosbag::compression::LZ4},
      {"bz2", rosbag::compression::BZ2}};
  for (const auto& [name, compression] : map_chunks) {
    Shape large;
    large.map_mib = map_mib;
    large.compression = compression;
    shape_row(std::to_string(frames / 10) + " frames and one " + std::to_string(map_mib) +
                  " MiB message, " + name + " chunks",
              frames / 10, large);
  }
  const bool ros2_ok = ros2_rows(dir, frames, points, runs, keep);
  return child.ok() && mr.success && shapes_ok && ros2_ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  return drone_bench::bench_main(
      argc, argv,
      "scancheck_bench [--frames N] [--points P] [--runs R] [--connections C] [--lag S] "
      "[--map-mib M] [--dir DIR] [--keep]",
      run_bench);
}
