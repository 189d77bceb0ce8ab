// Times conversions against what a user would do instead with a recording of the same size,
// copying it and syncing the copy (`cp` + `sync`), side by side in one run, and prints each
// conversion's peak memory. The recordings:
//   - a Livox recording (lidar frames with IMU messages between them), about 1 GB by default;
//   - the same recording with the IMU stamped S seconds behind (default 3), written at the
//     stamps, so that every chunk overlaps the next ones in time;
//   - a twentieth of the frames with one message of M MiB (default 300, a recorded map), in
//     plain, lz4 and bz2 chunks;
//   - many small messages on one topic, which the conversion copies, in chunks of the bag
//     library's default size and one message a chunk;
//   - the same count of messages spread over many connections, beside one connection holding
//     as many messages, so that the cost of the connection count shows on its own.
// The Livox recording is converted twice: to the default clouds (x, y, z, intensity, 16 bytes a
// point) and to clouds of all eight point fields (31 bytes a point), and the cost of each is
// also given per byte written, beside the cost per byte of cp + sync of that output.
//
//   cloudconv_bench [--frames N] [--points P] [--small N] [--connections C] [--per-connection M]
//                   [--runs R] [--lag S] [--map-mib M] [--dir DIR]
//
// Defaults: 2,200 frames of 24,000 points; 1,000,000 small messages; 2,000 connections of 100
// messages. Everything is written in a new directory under DIR ($TMPDIR or /tmp), removed at the
// end. Conversions run in a child process so that the peak resident size is their own. The
// Livox recording's copies and conversions run R times (default 1), each figure the median.
#include <livox_ros_driver2/CustomMsg.h>
#include <rosbag/bag.h>
#include <sensor_msgs/Imu.h>
#include <std_msgs/String.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_main.h"
#include "bench/measure.h"
#include "livox_conversion/livox_to_pc2.h"

namespace {

// Ten lidar frames a second with 200 IMU messages a second between them, as the drone records.
// With `imu_lag` > 0 the IMU messages are stamped that many seconds behind the frames and each
// message is written at its stamp, as a script that records at header stamps writes them: every
// chunk's time range then overlaps the next ones. With `map_mib` > 0 one message of that many
// MiB (a recorded map) is written on /map halfway through.
void write_recording(
    const std::string& path, int frames, int points, double imu_lag = 0.0, int map_mib = 0,
    rosbag::compression::CompressionType compression = rosbag::compression::Uncompressed) {
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  bag.setCompression(compression);
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> coord(-50.0f, 50.0f);
  livox_ros_driver2::CustomMsg frame;
  frame.header.frame_id = "livox_frame";
  frame.points.resize(static_cast<size_t>(points));
  sensor_msgs::Imu imu;
  imu.header.frame_id = "imu_link";
  for (int f = 0; f < frames; ++f) {
    const ros::Time stamp(1700000000.0 + f * 0.1);
    frame.header.seq = static_cast<uint32_t>(f);
    frame.header.stamp = stamp;
    frame.timebase = stamp.toNSec();
    frame.point_num = static_cast<uint32_t>(points);
    for (int i = 0; i < points; ++i) {
      livox_ros_driver2::CustomPoint& p = frame.points[static_cast<size_t>(i)];
      p.offset_time = static_cast<uint32_t>(i * 4);
      p.x = coord(rng);
      p.y = coord(rng);
      p.z = coord(rng);
      p.reflectivity = static_cast<uint8_t>(i % 256);
    }
    bag.write("/livox/lidar", stamp, frame);
    for (int k = 0; k < 20; ++k) {
      const ros::Time t = stamp + ros::Duration(0.005 * k - imu_lag);
      imu.header.seq = static_cast<uint32_t>(f * 20 + k);
      imu.header.stamp = t;
      bag.write("/livox/imu", t, imu);
    }
    if (map_mib > 0 && f == frames / 2) {
      std_msgs::String map;
      map.data.assign(static_cast<size_t>(map_mib) << 20, 'm');
      bag.write("/map", stamp, map);
    }
  }
  bag.close();
}

// `count` small messages (a 32-byte string each) on `connections` topics in turn; with
// `one_per_chunk` every message closes its chunk, as a recorder with a tiny chunk size writes.
void write_small_messages(const std::string& path, int count, int connections,
                          bool one_per_chunk = false) {
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  if (one_per_chunk) bag.setChunkThreshold(0);
  std_msgs::String text;
  text.data = std::string(32, 'x');
  std::vector<std::string> topics;
  topics.reserve(static_cast<size_t>(connections));
  for (int c = 0; c < connections; ++c) topics.push_back("/status/" + std::to_string(c));
  for (int i = 0; i < count; ++i) {
    const ros::Time stamp(1700000000.0 + i * 1e-4);
    bag.write(topics[static_cast<size_t>(i % connections)], stamp, text);
  }
  bag.close();
}

// The conversion in a child process, whose peak resident size is then its own.
drone_bench::ChildRun convert_in_child(const std::string& in, const std::string& out,
                                       const livox_to_pc2::PointLayout& layout) {
  return drone_bench::run_in_child([&] {
    const livox_to_pc2::ConversionResult r = livox_to_pc2::LivoxToPc2Converter::convert(
        in, out, "/livox/lidar", "/livox/points", layout);
    std::fprintf(stderr, "converted %lld frames, %lld points, copied %lld messages\n",
                 static_cast<long long>(r.converted_messages),
                 static_cast<long long>(r.total_points), static_cast<long long>(r.copied_messages));
    if (!r.success) throw std::runtime_error(r.error);
    return std::string();
  });
}

struct Row {
  double copy_s;
  double convert_s;
  bool ok;
  double input_bytes;
  double output_bytes;
  double peak_mib;
  double convert_cpu_s;  // user and system time of the conversion
  double output_copy_s;  // cp + sync of the conversion's output: writing as many bytes
};

// Times a copy (after one untimed one, which brings the file into the page cache for both runs
// alike) and a conversion of `input` to clouds of `layout`, `runs` times, giving the median of
// each figure; prints the row when `name` is given.
Row measure(const std::string& name, const std::string& input, const std::string& dir,
            const livox_to_pc2::PointLayout& layout = {}, int runs = 1) {
  const std::string copy = dir + "/copy.bag";
  const std::string output = dir + "/converted.bag";
  std::vector<double> copy_s;
  std::vector<double> convert_s;
  std::vector<double> convert_cpu_s;
  std::vector<double> output_copy_s;
  Row row{};
  row.ok = true;
  row.input_bytes = static_cast<double>(std::filesystem::file_size(input));
  drone_bench::copy_and_sync(input, copy);
  for (int r = 0; r < runs; ++r) {
    copy_s.push_back(
        drone_bench::time_here([&] { drone_bench::copy_and_sync(input, copy); }).wall_seconds);
    std::filesystem::remove(copy);
    const drone_bench::ChildRun conv = convert_in_child(input, output, layout);
    convert_s.push_back(conv.usage.wall_seconds);
    convert_cpu_s.push_back(conv.usage.cpu_seconds);
    row.ok = row.ok && conv.ok();
    row.peak_mib = std::max(row.peak_mib, conv.usage.peak_mib);
    std::error_code ec;
    row.output_bytes = static_cast<double>(std::filesystem::file_size(output, ec));
    if (!ec && conv.ok()) {
      output_copy_s.push_back(
          drone_bench::time_here([&] { drone_bench::copy_and_sync(output, copy); }).wall_seconds);
      std::filesystem::remove(copy);
    }
    std::filesystem::remove(output);
  }
  row.copy_s = drone_bench::median(copy_s);
  row.convert_s = drone_bench::median(convert_s);
  row.convert_cpu_s = drone_bench::median(convert_cpu_s);
  row.output_copy_s = drone_bench::median(output_copy_s);
  if (!name.empty()) {
    std::printf("| %s | %.1f | %.2f s | %.2f s | %.2f | %.1f |%s\n", name.c_str(),
                row.input_bytes / 1e6, row.copy_s, row.convert_s, row.convert_s / row.copy_s,
                row.peak_mib, row.ok ? "" : " FAILED");
    std::fflush(stdout);
  }
  return row;
}

// One layout's row of the point-field table: the conversion against cp + sync of its input, and
// its cost per byte written (wall and CPU time) against cp + sync of its output (as many bytes
// written).
void print_layout_row(const std::string& list, const livox_to_pc2::PointLayout& layout,
                      const Row& row) {
  const double convert_ns = row.convert_s / row.output_bytes * 1e9;
  const double cpu_ns = row.convert_cpu_s / row.output_bytes * 1e9;
  const double copy_ns = row.output_copy_s / row.output_bytes * 1e9;
  std::printf("| %s | %u | %.1f | %.2f s | %.2f s | %.2f | %.2f | %.2f | %.2f | %.2f | %.1f |%s\n",
              list.c_str(), layout.point_step(), row.output_bytes / 1e6, row.copy_s, row.convert_s,
              row.convert_s / row.copy_s, convert_ns, cpu_ns, copy_ns, convert_ns / copy_ns,
              row.peak_mib, row.ok ? "" : " FAILED");
  std::fflush(stdout);
}

int run_bench(drone_bench::Options& options) {
  const int frames = static_cast<int>(options.integer("frames", 2200, 1));
  const int points = static_cast<int>(options.integer("points", 24000, 1));
  const int small = static_cast<int>(options.integer("small", 1000000, 1));
  const int connections = static_cast<int>(options.integer("connections", 2000, 1));
  const int per_connection = static_cast<int>(options.integer("per-connection", 100, 1));
  const int runs = static_cast<int>(options.integer("runs", 1, 1));
  const double lag = options.number("lag", 3.0);
  const int map_mib = static_cast<int>(options.integer("map-mib", 300, 1));
  const std::string parent = options.text("dir", drone_bench::default_temp_parent());
  options.check_all_known();
  const drone_bench::ScratchDir scratch(parent, "cloudconv_bench_");
  const std::string& dir = scratch.path();
  const std::string input = dir + "/input.bag";
  bool ok = true;

  std::printf("| recording | MB | cp + sync | cloudconv | ratio | peak MiB |\n");
  std::printf("|---|---|---|---|---|---|\n");
  drone_bench::apart([&] { write_recording(input, frames, points); });
  const Row livox = measure(
      "Livox, " + std::to_string(frames) + " frames x " + std::to_string(points) + " points", input,
      dir, livox_to_pc2::PointLayout(), runs);
  const std::string all_fields = "x,y,z,intensity,tag,ring,time,timestamp";
  livox_to_pc2::PointLayout every_field;
  std::string error;
  if (!livox_to_pc2::PointLayout::parse(all_fields, &every_field, &error)) {
    throw std::runtime_error(error);
  }
  const Row wide = measure("", input, dir, every_field, runs);
  ok &= livox.ok && wide.ok;
  drone_bench::apart([&] { write_recording(input, frames, points, lag); });
  ok &= measure("Livox, IMU stamped " + std::to_string(lag).substr(0, 3) +
                    " s behind (overlapping chunks)",
                input, dir)
            .ok;
  const std::pair<const char*, rosbag::compression::CompressionType> map_chunks[] = {
      {"plain", rosbag::compression::Uncompressed},
      {"lz4", rosbag::compression::LZ4},
      {"bz2", rosbag::compression::BZ2}};
  for (const auto& map_chunk : map_chunks) {
    const char* name = map_chunk.first;
    const rosbag::compression::CompressionType compression = map_chunk.second;
    drone_bench::apart(
        [&] { write_recording(input, frames / 20, points, 0.0, map_mib, compression); });
    ok &= measure("Livox, " + std::to_string(frames / 20) + " frames and one " +
                      std::to_string(map_mib) + " MiB message, " + name + " chunks",
                  input, dir)
              .ok;
  }
  drone_bench::apart([&] { write_small_messages(input, small, 1); });
  ok &= measure(std::to_string(small) + " small messages", input, dir).ok;
  drone_bench::apart([&] { write_small_messages(input, small, 1, true); });
  ok &= measure(std::to_string(small) + " small messages, one a chunk", input, dir).ok;
  const int many = connections * per_connection;
  drone_bench::apart([&] { write_small_messages(input, many, 1); });
  const Row one = measure(std::to_string(many) + " messages, 1 connection", input, dir);
  drone_bench::apart([&] { write_small_messages(input, many, connections); });
  const Row spread =
      measure(std::to_string(many) + " messages, " + std::to_string(connections) + " connections",
              input, dir);
  std::printf("\n%d connections against one: %.2fx the time\n", connections,
              spread.convert_s / one.convert_s);
  std::printf(
      "\nLivox recording by point fields (ratio: against cp + sync of the input; ns/B: per byte "
      "of the output, for the conversion and for cp + sync of the output)\n\n");
  std::printf(
      "| point fields | point_step | output MB | cp + sync | cloudconv | ratio | cloudconv ns/B "
      "| cloudconv CPU ns/B | cp + sync ns/B | per-byte ratio | peak MiB |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
  print_layout_row("x,y,z,intensity (default)", livox_to_pc2::PointLayout(), livox);
  print_layout_row(all_fields, every_field, wide);
  return ok && one.ok && spread.ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  return drone_bench::bench_main(
      argc, argv,
      "cloudconv_bench [--frames N] [--points P] [--small N] [--connections C] "
      "[--per-connection M] [--runs R] [--lag S] [--map-mib M] [--dir DIR]",
      run_bench);
}
