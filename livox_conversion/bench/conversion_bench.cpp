// Writes a Livox recording of a few hundred megabytes, then times a conversion of it against a
// plain copy of the same file and prints the ratio, with the conversion's peak memory.
//
//   cloudconv_bench [--frames N] [--points P] [--dir DIR]
//
// Defaults: 600 frames of 24,000 points, in a new directory under DIR ($TMPDIR or /tmp) that is
// removed at the end.
//
// The conversion runs in a child process so that its peak resident size is its own; run it
// with two frame counts to see that the peak does not follow the bag's size.
#include <livox_ros_driver2/CustomMsg.h>
#include <rosbag/bag.h>
#include <sensor_msgs/Imu.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "bench/measure.h"
#include "livox_conversion/livox_to_pc2.h"

namespace {

// Ten lidar frames a second with 200 IMU messages a second between them, as the drone records.
void write_recording(const std::string& path, int frames, int points) {
  rosbag::Bag bag(path, rosbag::bagmode::Write);
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
      const ros::Time t = stamp + ros::Duration(0.005 * k);
      imu.header.seq = static_cast<uint32_t>(f * 20 + k);
      imu.header.stamp = t;
      bag.write("/livox/imu", t, imu);
    }
  }
  bag.close();
}

// Copies through a user-space buffer, reading and writing every byte as the converter must.
void copy_file(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  std::vector<char> buffer(1 << 20);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    out.write(buffer.data(), in.gcount());
  }
  out.flush();
  if (!out) throw std::runtime_error("copy failed");
}

// The conversion in a child process, whose peak resident size is then its own.
drone_bench::ChildRun convert_in_child(const std::string& in, const std::string& out) {
  return drone_bench::run_in_child([&] {
    const livox_to_pc2::ConversionResult r =
        livox_to_pc2::LivoxToPc2Converter::convert(in, out, "/livox/lidar", "/livox/points");
    std::fprintf(stderr, "converted %lld frames, %lld points, copied %lld messages\n",
                 static_cast<long long>(r.converted_messages),
                 static_cast<long long>(r.total_points), static_cast<long long>(r.copied_messages));
    if (!r.success) throw std::runtime_error(r.error);
    return std::string();
  });
}

int run_bench(drone_bench::Options& options) {
  const int frames = static_cast<int>(options.integer("frames", 600, 1));
  const int points = static_cast<int>(options.integer("points", 24000, 1));
  const std::string parent = options.text("dir", drone_bench::default_temp_parent());
  options.check_all_known();
  const drone_bench::ScratchDir scratch(parent, "cloudconv_bench_");
  const std::string& dir = scratch.path();
  const std::string input = dir + "/recording.bag";
  const std::string copy = dir + "/copy.bag";
  const std::string output = dir + "/recording_pc2.bag";

  const double write_s =
      drone_bench::time_here([&] { write_recording(input, frames, points); }).wall_seconds;
  const double mb = static_cast<double>(std::filesystem::file_size(input)) / 1e6;
  std::printf("input: %d frames x %d points, %.1f MB, written in %.2f s\n", frames, points, mb,
              write_s);

  // One untimed read brings the file into the page cache for both timed runs alike.
  copy_file(input, copy);
  const double copy_s = drone_bench::time_here([&] { copy_file(input, copy); }).wall_seconds;

  const drone_bench::ChildRun conv = convert_in_child(input, output);
  const double seconds = conv.usage.wall_seconds;
  const double out_mb =
      conv.ok() ? static_cast<double>(std::filesystem::file_size(output)) / 1e6 : 0.0;
  std::printf("copy:    %.2f s (%.0f MB/s)\n", copy_s, mb / copy_s);
  std::printf("convert: %.2f s (%.0f MB/s), output %.1f MB, peak memory %.1f MB%s\n", seconds,
              mb / seconds, out_mb, conv.usage.peak_mib, conv.ok() ? "" : " (FAILED)");
  std::printf("ratio convert/copy: %.2f\n", seconds / copy_s);
  return conv.ok() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  return drone_bench::bench_main(
      argc, argv, "cloudconv_bench [--frames N] [--points P] [--dir DIR]", run_bench);
}
