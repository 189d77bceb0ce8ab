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
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "bench/measure.h"
#include "livox_conversion/livox_to_pc2.h"
#include "ros2_storage/recording_writer.h"

namespace {

// The definition rosbag2 stores with the driver's frames.
constexpr char kFrameDefinition[] =
    "std_msgs/Header header\nuint64 timebase\nuint32 point_num\nuint8 lidar_id\nuint8[3] rsvd\n"
    "CustomPoint[] points\n"
    "================================================================================\n"
    "MSG: std_msgs/Header\nbuiltin_interfaces/Time stamp\nstring frame_id\n"
    "================================================================================\n"
    "MSG: builtin_interfaces/Time\nint32 sec\nuint32 nanosec\n"
    "================================================================================\n"
    "MSG: livox_ros_driver2/CustomPoint\nuint32 offset_time\nfloat32 x\nfloat32 y\nfloat32 z\n"
    "uint8 reflectivity\nuint8 tag\nuint8 line\n";

// Little-endian CDR, each field aligned to its size from the byte after the encapsulation.
class Cdr {
 public:
  Cdr() : bytes_{0, 1, 0, 0} {}
  template <typename T>
  void put(T value) {
    while ((bytes_.size() - 4) % sizeof(T) != 0) bytes_.push_back(0);
    const size_t at = bytes_.size();
    bytes_.resize(at + sizeof(T));
    std::memcpy(bytes_.data() + at, &value, sizeof(T));
  }
  void put_string(const std::string& text) {
    put<uint32_t>(static_cast<uint32_t>(text.size() + 1));
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    bytes_.push_back(0);
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

void write_recording(const std::string& path, const ros2_storage::WriterOptions& options,
                     int frames, int points) {
  const auto writer = ros2_storage::create_writer(path, options);
  const uint32_t lidar = writer->add_channel({"/livox/lidar",
                                              "livox_ros_driver2/msg/CustomMsg",
                                              "cdr",
                                              "ros2msg",
                                              kFrameDefinition,
                                              "",
                                              "",
                                              {}});
  const uint32_t imu =
      writer->add_channel({"/livox/imu", "sensor_msgs/msg/Imu", "cdr", "", "", "", "", {}});
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> coord(-50.0f, 50.0f);
  const std::vector<uint8_t> imu_bytes(324, 7);
  for (int f = 0; f < frames; ++f) {
    const uint64_t stamp = 1700000000000000000ull + static_cast<uint64_t>(f) * 100000000ull;
    Cdr frame;
    frame.put<int32_t>(static_cast<int32_t>(stamp / 1000000000));
    frame.put<uint32_t>(static_cast<uint32_t>(stamp % 1000000000));
    frame.put_string("livox_frame");
    frame.put<uint64_t>(stamp);
    frame.put<uint32_t>(static_cast<uint32_t>(points));
    for (int k = 0; k < 4; ++k) frame.put<uint8_t>(0);  // lidar_id, rsvd
    frame.put<uint32_t>(static_cast<uint32_t>(points));
    for (int i = 0; i < points; ++i) {
      frame.put<uint32_t>(static_cast<uint32_t>(i * 4));
      frame.put<float>(coord(rng));
      frame.put<float>(coord(rng));
      frame.put<float>(coord(rng));
      frame.put<uint8_t>(static_cast<uint8_t>(i % 256));
      frame.put<uint8_t>(0);
      frame.put<uint8_t>(static_cast<uint8_t>(i % 4));
    }
    std::vector<uint8_t>& bytes = frame.bytes();
    while (bytes.size() % 4 != 0) {
      bytes.push_back(0);
      ++bytes[3];
    }
    writer->write(lidar, stamp, stamp, static_cast<uint32_t>(f), bytes.data(), bytes.size());
    for (int k = 0; k < 20; ++k) {
      const uint64_t t = stamp + static_cast<uint64_t>(k) * 5000000ull;
      writer->write(imu, t, t, static_cast<uint32_t>(f * 20 + k), imu_bytes.data(),
                    imu_bytes.size());
    }
  }
  writer->close();
}

void copy_and_sync(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  std::vector<char> buffer(1 << 20);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    out.write(buffer.data(), in.gcount());
  }
  out.close();
  if (!out) throw std::runtime_error("copy failed");
  const int fd = ::open(to.c_str(), O_RDONLY);
  const bool synced = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  if (!synced) throw std::runtime_error("sync failed");
}

// One row: a copy (after one untimed one, which brings the file into the page cache for both
// alike) and a conversion in a child process, `runs` times each, the medians.
bool measure(const std::string& name, const std::string& input, const std::string& output,
             int runs) {
  const std::string copy = input + ".copy";
  copy_and_sync(input, copy);
  drone_bench::Samples copies;
  drone_bench::Samples conversions;
  bool ok = true;
  for (int r = 0; r < runs; ++r) {
    copies.add(drone_bench::time_here([&] { copy_and_sync(input, copy); }));
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
