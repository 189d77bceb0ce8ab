// Writes a Livox recording of a few hundred megabytes, then times a conversion of it against a
// plain copy of the same file and prints the ratio, with the conversion's peak memory.
//
//   cloudconv_bench [frames=600] [points_per_frame=24000] [directory=$TMPDIR or /tmp]
//
// The conversion runs in a child process so that its peak resident size is its own; run it
// with two frame counts to see that the peak does not follow the bag's size.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <livox_ros_driver2/CustomMsg.h>
#include <rosbag/bag.h>
#include <sensor_msgs/Imu.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "livox_conversion/livox_to_pc2.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

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

struct ChildRun {
  double seconds = 0;
  long peak_kib = 0;
  bool ok = false;
};

ChildRun convert_in_child(const std::string& in, const std::string& out) {
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const livox_to_pc2::ConversionResult r =
        livox_to_pc2::LivoxToPc2Converter::convert(in, out, "/livox/lidar", "/livox/points");
    if (!r.success) std::fprintf(stderr, "%s\n", r.error.c_str());
    std::fprintf(stderr, "converted %lld frames, %lld points, copied %lld messages\n",
                 static_cast<long long>(r.converted_messages),
                 static_cast<long long>(r.total_points), static_cast<long long>(r.copied_messages));
    _exit(r.success ? 0 : 1);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  ChildRun run;
  run.seconds = seconds_since(start);
  run.peak_kib = usage.ru_maxrss;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

int run_bench(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 600;
  const int points = argc > 2 ? std::atoi(argv[2]) : 24000;
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = argc > 3 ? argv[3] : (tmp != nullptr ? tmp : "/tmp");
  const std::string dir = base + "/cloudconv_bench_" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  const std::string input = dir + "/recording.bag";
  const std::string copy = dir + "/copy.bag";
  const std::string output = dir + "/recording_pc2.bag";

  auto start = Clock::now();
  write_recording(input, frames, points);
  const double write_s = seconds_since(start);
  const double mb = static_cast<double>(std::filesystem::file_size(input)) / 1e6;
  std::printf("input: %d frames x %d points, %.1f MB, written in %.2f s\n", frames, points, mb,
              write_s);

  // One untimed read brings the file into the page cache for both timed runs alike.
  copy_file(input, copy);
  start = Clock::now();
  copy_file(input, copy);
  const double copy_s = seconds_since(start);

  const ChildRun conv = convert_in_child(input, output);
  const double out_mb = static_cast<double>(std::filesystem::file_size(output)) / 1e6;
  std::printf("copy:    %.2f s (%.0f MB/s)\n", copy_s, mb / copy_s);
  std::printf("convert: %.2f s (%.0f MB/s), output %.1f MB, peak memory %.1f MB%s\n", conv.seconds,
              mb / conv.seconds, out_mb, conv.peak_kib / 1024.0, conv.ok ? "" : " (FAILED)");
  std::printf("ratio convert/copy: %.2f\n", conv.seconds / copy_s);
  std::filesystem::remove_all(dir);
  return conv.ok ? 0 : 1;
}

}  // namespace

// A failure to write, read or remove the recording ends the run with its message.
int main(int argc, char** argv) {
  try {
    return run_bench(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 1;
  }
}
