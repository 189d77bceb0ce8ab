// Times conversions of ROS 2 Livox recordings against copying the same file and syncing the
// copy (`cp` + `sync`), side by side in one run, and prints each conversion's peak memory. The
// recordings, about 1 GB each by default: an MCAP file of uncompressed chunks, the same in zstd
// chunks, and a rosbag2 SQLite file, each holding lidar frames (livox_ros_driver2/msg/CustomMsg
// in CDR) with 20 IMU messages between two frames, as the drone records.
//
//   cloudconv_ros2_bench [--frames N] [--points P] [--runs R] [--dir DIR]
//
// Defaults: 2,200 frames of 24,000 points. Everything is written in a new directory under DIR
// ($TMPDIR or /tmp), removed at the end. Conversions run in a child process so that the peak
// resident size is their own; each figure is the median of R runs (default 1). The conversion's
// CPU time (user and system) is given beside its wall time, which a loaded machine stretches.

#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "bench/mcap_file.h"
#include "bench/measure.h"
#include "livox_conversion/livox_to_pc2.h"
#include "ros2_storage/recording_writer.h"

namespace {

void write_recording(const std::string& path, const ros2_storage::WriterOptions& options,
                     int frames, int points) {
  const auto writer = ros2_storage::create_writer(path, options);
  const uint32_t lidar = writer->add_channel({"/livox/lidar",
                                              "livox_ros_driver2/msg/CustomMsg",
                                              "cdr",
                                              "ros2msg",
                                              drone_bench::kLivoxFrameDefinition,
                                              "",
                                              "",
                                              {}});
  const uint32_t imu =
      writer->add_channel({"/livox/imu", "sensor_msgs/msg/Imu", "cdr", "", "", "", "", {}});
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> coord(-50.0f, 50.0f);
  const std::vector<uint8_t> imu_bytes(324, 7);
  std::vector<float> xyz(3 * static_cast<size_t>(points));
  std::vector<uint8_t> bytes;  // one frame in CDR, reused
  for (int f = 0; f < frames; ++f) {
    const uint64_t stamp = 1700000000000000000ull + static_cast<uint64_t>(f) * 100000000ull;
    for (float& v : xyz) v = coord(rng);
    drone_bench::livox_frame_cdr(stamp, xyz.data(), static_cast<uint32_t>(points), bytes);
    writer->write(lidar, stamp, stamp, static_cast<uint32_t>(f), bytes.data(), bytes.size());
    for (int k = 0; k < 20; ++k) {
      const uint64_t t = stamp + static_cast<uint64_t>(k) * 5000000ull;
      writer->write(imu, t, t, static_cast<uint32_t>(f * 20 + k), imu_bytes.data(),
                    imu_bytes.size());
    }
  }
  writer->close();
}

// One row: a copy (after one untimed one, which brings the file into the page cache for both
// alike) and a conversion in a child process, `runs` times each, the medians.
bool measure(const std::string& name, const std::string& input, const std::string& output,
             int runs) {
  const std::string copy = input + ".copy";
  drone_bench::copy_and_sync(input, copy);
  drone_bench::Samples copies;
  drone_bench::Samples conversions;
  bool ok = true;
  for (int r = 0; r < runs; ++r) {
    copies.add(drone_bench::time_here([&] { drone_bench::copy_and_sync(input, copy); }));
    std::filesystem::remove(copy);
    const drone_bench::ChildRun run = drone_bench::run_in_child([&] {
      const livox_to_pc2::ConversionResult result = livox_to_pc2::LivoxToPc2Converter::convert(
          input, output, "/livox/lidar", "/livox/points");
      if (!result.success) throw std::runtime_error(result.error);
      if (result.converted_messages == 0) throw std::runtime_error("no frame converted");
      return std::string();
    });
    ok = ok && run.ok();
    conversions.add(run.usage);
    std::filesystem::remove_all(output);
  }
  const drone_bench::Usage copy_usage = copies.summary();
  const drone_bench::Usage convert_usage = conversions.summary();
  std::printf("| %s | %.0f | %.2f s | %.2f s | %.2f | %.2f s | %.1f |%s\n", name.c_str(),
              static_cast<double>(std::filesystem::file_size(input)) / 1e6, copy_usage.wall_seconds,
              convert_usage.wall_seconds, convert_usage.wall_seconds / copy_usage.wall_seconds,
              convert_usage.cpu_seconds, convert_usage.peak_mib, ok ? "" : " FAILED");
  std::fflush(stdout);
  return ok;
}

int run_bench(drone_bench::Options& options) {
  const int frames = static_cast<int>(options.integer("frames", 2200, 1));
  const int points = static_cast<int>(options.integer("points", 24000, 1));
  const int runs = static_cast<int>(options.integer("runs", 1, 1));
  const std::string parent = options.text("dir", drone_bench::default_temp_parent());
  options.check_all_known();
  const drone_bench::ScratchDir scratch(parent, "cloudconv_ros2_bench_");
  const std::string& dir = scratch.path();
  const std::string shape =
      std::to_string(frames) + " frames x " + std::to_string(points) + " points";

  struct Recording {
    const char* what;
    ros2_storage::Storage storage;
    const char* compression;
    const char* extension;
  };
  const Recording recordings[] = {
      {"MCAP, uncompressed chunks", ros2_storage::Storage::mcap, "", ".mcap"},
      {"MCAP, zstd chunks", ros2_storage::Storage::mcap, "zstd", ".mcap"},
      {"SQLite (.db3)", ros2_storage::Storage::sqlite, "", ".db3"},
  };
  std::printf("| recording | MB | cp + sync | cloudconv | ratio | cloudconv CPU | peak MiB |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  bool ok = true;
  for (const Recording& recording : recordings) {
    const std::string input = dir + "/input" + recording.extension;
    drone_bench::apart([&] {
      ros2_storage::WriterOptions writer;
      writer.storage = recording.storage;
      writer.compression = recording.compression;
      write_recording(input, writer, frames, points);
    });
    ok &= measure(std::string(recording.what) + ", " + shape, input,
                  dir + "/output" + recording.extension, runs);
    std::filesystem::remove(input);
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  return drone_bench::bench_main(
      argc, argv, "cloudconv_ros2_bench [--frames N] [--points P] [--runs R] [--dir DIR]",
      run_bench);
}
