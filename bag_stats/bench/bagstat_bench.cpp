// bagstat_node against `rosbag info` (Debian's python3-rosbag), side by side in one run, on two
// generated recordings of many small messages: wall and CPU time (medians of alternating runs,
// file in the page cache) and peak resident memory of each process, and how they grow from the
// smaller recording to the larger one; then the smaller recording written with one message a
// chunk (a recorder with a tiny chunk size), whose chunk count is its message count. With
// --others, also the time and peak memory of the suite's other two bag programs on each
// recording.
//
// Then ROS 2 recordings: MCAP files of G GB and of G/10 GB (default G = 2; --mcap_gb 0 leaves them
// out) of Livox frames (10 a second, 20,000 points) and 200 IMU-sized messages a second, in zstd
// chunks, each written with and without its summary section. bagstat_node's wall and CPU time
// and peak memory on each, beside the floor of reading the file once (1 MiB blocks, page cache):
// and of reading it and decompressing its chunks (the floor of any reader of its messages): with
// the summary the time must not grow with the file, without it the messages are counted.
//
//   bagstat_bench [--messages N] [--large N] [--chunked N] [--runs R] [--dir DIR] [--others]
//                 [--mcap_gb G]
//
// Defaults: 1,000,000 and 10,000,000 messages (68 and 680 MB), 1,000,000 one-message chunks,
// 5 runs each. The bags are written into a new directory under DIR (default $TMPDIR or /tmp) and
// deleted at the end.
#include <unistd.h>

#include <ros/time.h>
#include <rosbag/bag.h>
#include <std_msgs/String.h>

#include <fcntl.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_main.h"
#include "bench/mcap_file.h"
#include "bench/measure.h"

namespace {

constexpr int kTopics = 20;

// Status and sensor topics as a survey drone records them: 20 topics at 200 Hz in turn, each
// message a short text (about 76 bytes a message in the file, index included).
// With `one_per_chunk` every message closes its chunk.
void write_recording(const std::string& path, uint64_t messages, bool one_per_chunk = false) {
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  if (one_per_chunk) bag.setChunkThreshold(0);
  std::vector<std::string> topics;
  topics.reserve(kTopics);
  for (int t = 0; t < kTopics; ++t) topics.push_back("/drone/status_" + std::to_string(t));
  std_msgs::String msg;
  for (uint64_t i = 0; i < messages; ++i) {
    const uint64_t tick = i / kTopics;  // 5 ms apart
    msg.data = "s" + std::to_string(i % 100000);
    bag.write(topics[i % kTopics],
              ros::Time(static_cast<uint32_t>(1700000000 + tick / 200),
                        static_cast<uint32_t>(tick % 200 * 5000000)),
              msg);
  }
  bag.close();
}

using drone_bench::ChildRun;
using drone_bench::run_program;
using drone_bench::Usage;

// Median wall and CPU time and the largest peak of each program's runs.
struct Side {
  Usage ours;
  Usage peer;
};

// bagstat_node and rosbag info in turn, `runs` times each; checks bagstat_node's count.
Side compare(const std::string& bagstat, const std::string& rosbag, const std::string& bag,
             uint64_t messages, int runs) {
  drone_bench::Samples ours;
  drone_bench::Samples peer;
  for (int i = 0; i < runs; ++i) {
    const ChildRun a = run_program({bagstat, "--bag", bag});
    const std::string expected = "\"total_messages\":" + std::to_string(messages) + ",";
    if (a.out.find(expected) == std::string::npos) {
      throw std::runtime_error("bagstat_node did not count " + std::to_string(messages));
    }
    ours.add(a.usage);
    peer.add(run_program({rosbag, "info", bag}).usage);
  }
  return Side{ours.summary(), peer.summary()};
}

// A ROS 2 recording of about `bytes` bytes: Livox frames at 10 Hz and IMU-sized messages at
// 200 Hz, zstd chunks; returns the message count.
uint64_t write_mcap(const std::string& path, uint64_t bytes, bool summary) {
  drone_bench::McapFile::Options options;
  options.compression = "zstd";
  options.summary = summary;
  drone_bench::McapFile mcap(path, options);
  const uint16_t lidar = mcap.add_channel("/livox/lidar", "livox_ros_driver2/msg/CustomMsg",
                                          drone_bench::kLivoxFrameDefinition);
  const uint16_t imu = mcap.add_channel("/livox/imu", "sensor_msgs/msg/Imu", "float64[36] data");
  constexpr uint32_t kPoints = 20000;
  std::mt19937 rng(4242);
  std::uniform_real_distribution<float> coordinate(-80.0f, 80.0f);
  std::vector<float> xyz(3 * kPoints);
  std::vector<uint8_t> frame;
  std::vector<uint8_t> sample(300);
  const uint64_t start = 1700000000ULL * 1000000000ULL;
  uint64_t messages = 0;
  uint64_t written = 0;
  for (uint64_t tick = 0; written < bytes; ++tick) {  // 5 ms apart
    const uint64_t now = start + tick * 5000000;
    if (tick % 20 == 0) {
      for (float& v : xyz) v = coordinate(rng);
      drone_bench::livox_frame_cdr(now, xyz.data(), kPoints, frame);
      mcap.write(lidar, now, frame.data(), frame.size());
      written += frame.size();
      ++messages;
    }
    for (size_t i = 0; i < sample.size(); ++i) sample[i] = static_cast<uint8_t>(tick + i);
    mcap.write(imu, now, sample.data(), sample.size());
    written += sample.size();
    ++messages;
  }
  mcap.close();
  return messages;
}

// Reads the whole file in 1 MiB blocks: the least any reader of it takes.
void read_whole(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  std::vector<char> block(1 << 20);
  while (::read(fd, block.data(), block.size()) > 0) {
  }
  ::close(fd);
}

// bagstat_node on MCAP files of `gb` and `gb` / 10 GB, with and without summary.
void mcap_rows(const std::string& work, const std::string& bagstat, double gb, int runs) {
  std::printf("\n%8s %6s %9s | %-24s | %-7s | %-15s | %s\n", "MCAP", "GB", "messages",
              "bagstat_node", "read", "read+unzstd", "bagstat / read+unzstd");
  std::printf("%8s %6s %9s | %7s %7s %8s | %7s | %7s %7s | %7s %7s\n", "summary", "", "", "wall s",
              "cpu s", "peak MiB", "wall s", "wall s", "cpu s", "wall", "cpu");
  for (const double size : {gb / 10, gb}) {
    for (const bool summary : {true, false}) {
      const std::string path = work + "/recording.mcap";
      // Written in a child, which sends back the message count.
      const ChildRun written = drone_bench::run_in_child([&] {
        return std::to_string(write_mcap(path, static_cast<uint64_t>(size * 1e9), summary));
      });
      if (!written.ok()) throw std::runtime_error("the MCAP file cannot be written");
      const std::string expected = "\"total_messages\":" + written.out + ",";
      drone_bench::Samples ours;
      drone_bench::Samples floor;
      drone_bench::Samples unpack;
      for (int i = 0; i < runs; ++i) {
        const ChildRun run = run_program({bagstat, "--bag", path});
        if (run.out.find(expected) == std::string::npos) {
          throw std::runtime_error("bagstat_node did not count " + written.out);
        }
        ours.add(run.usage);
        floor.add(drone_bench::time_here([&] { read_whole(path); }));
        unpack.add(drone_bench::time_here([&] { drone_bench::mcap_read_floor(path); }));
      }
      const Usage o = ours.summary();
      const Usage f = floor.summary();
      const Usage u = unpack.summary();
      std::printf("%8s %6.2f %9s | %7.3f %7.3f %8.1f | %7.3f | %7.3f %7.3f | %6.2fx %6.2fx\n",
                  summary ? "summary" : "none",
                  static_cast<double>(std::filesystem::file_size(path)) / 1e9, written.out.c_str(),
                  o.wall_seconds, o.cpu_seconds, o.peak_mib, f.wall_seconds, u.wall_seconds,
                  u.cpu_seconds, o.wall_seconds / u.wall_seconds, o.cpu_seconds / u.cpu_seconds);
      std::fflush(stdout);
      std::remove(path.c_str());
    }
  }
}

int run_bench(drone_bench::Options& options) {
  const auto small = static_cast<uint64_t>(options.integer("messages", 1000000, 1));
  const auto large = static_cast<uint64_t>(options.integer("large", 10000000, 0));
  const auto chunked = static_cast<uint64_t>(options.integer("chunked", 1000000, 0));
  const int runs = static_cast<int>(options.integer("runs", 5, 1));
  const std::string dir = options.text("dir", drone_bench::default_temp_parent());
  const bool others = options.flag("others");
  const double mcap_gb = options.number("mcap_gb", 2.0);
  options.check_all_known();
  const drone_bench::ScratchDir scratch(dir, "bagstat_bench_");
  const std::string& work = scratch.path();
  const std::string bagstat = drone_bench::beside_self("bagstat_node");
  const std::string rosbag = "/usr/bin/rosbag";
  if (access(rosbag.c_str(), X_OK) != 0) {
    throw std::runtime_error("rosbag info (python3-rosbag) is not installed");
  }
  std::vector<uint64_t> sizes = {small};
  if (large > small) sizes.push_back(large);
  // The recordings: (messages, one message a chunk).
  std::vector<std::pair<uint64_t, bool>> recordings;
  recordings.reserve(sizes.size() + 1);
  for (const uint64_t messages : sizes) recordings.emplace_back(messages, false);
  if (chunked > 0) recordings.emplace_back(chunked, true);

  std::printf("%10s %6s | %-24s | %-24s | %-20s\n", "", "", "bagstat_node", "rosbag info",
              "bagstat_node faster");
  std::printf("%10s %6s | %7s %7s %8s | %7s %7s %8s | %6s %6s %6s\n", "messages", "MB", "wall s",
              "cpu s", "peak MiB", "wall s", "cpu s", "peak MiB", "wall", "cpu", "memory");
  std::vector<Side> sides;
  for (const auto& recording : recordings) {
    const uint64_t messages = recording.first;
    const bool one_per_chunk = recording.second;
    const std::string bag = work + "/" + std::to_string(messages) + ".bag";
    drone_bench::apart([&] { write_recording(bag, messages, one_per_chunk); });
    const double mb = static_cast<double>(std::filesystem::file_size(bag)) / 1e6;
    const Side s = compare(bagstat, rosbag, bag, messages, runs);
    if (!one_per_chunk) sides.push_back(s);
    std::printf("%10llu%s %6.0f | %7.3f %7.3f %8.1f | %7.3f %7.3f %8.1f | %5.1fx %5.1fx %5.2fx\n",
                static_cast<unsigned long long>(messages), one_per_chunk ? " (1 a chunk)" : "", mb,
                s.ours.wall_seconds, s.ours.cpu_seconds, s.ours.peak_mib, s.peer.wall_seconds,
                s.peer.cpu_seconds, s.peer.peak_mib, s.peer.wall_seconds / s.ours.wall_seconds,
                s.peer.cpu_seconds / s.ours.cpu_seconds, s.ours.peak_mib / s.peer.peak_mib);
    std::fflush(stdout);

    if (others) {
      const ChildRun check =
          run_program({drone_bench::beside_self("scancheck_node"), "--bag", bag});
      const std::string out_bag = work + "/converted.bag";
      const ChildRun convert = run_program({drone_bench::beside_self("cloudconv_node"),
                                            "--input_bag", bag, "--output_bag", out_bag});
      std::remove(out_bag.c_str());
      std::printf("%17s   scancheck_node %.2f s, %.1f MiB; cloudconv_node %.2f s, %.1f MiB\n", "",
                  check.usage.wall_seconds, check.usage.peak_mib, convert.usage.wall_seconds,
                  convert.usage.peak_mib);
      std::fflush(stdout);
    }
    std::remove(bag.c_str());
  }
  std::printf(
      "(median of %d alternating runs each, file in the page cache; cpu: user + system time; "
      "faster: rosbag info / bagstat_node; memory: bagstat_node peak / rosbag info peak)\n",
      runs);
  if (sides.size() == 2) {
    std::printf(
        "growth from %llu to %llu messages: bagstat_node wall %.2fx, cpu %.2fx, memory %.2fx; "
        "rosbag info wall %.2fx, cpu %.2fx, memory %.2fx\n",
        static_cast<unsigned long long>(sizes[0]), static_cast<unsigned long long>(sizes[1]),
        sides[1].ours.wall_seconds / sides[0].ours.wall_seconds,
        sides[1].ours.cpu_seconds / sides[0].ours.cpu_seconds,
        sides[1].ours.peak_mib / sides[0].ours.peak_mib,
        sides[1].peer.wall_seconds / sides[0].peer.wall_seconds,
        sides[1].peer.cpu_seconds / sides[0].peer.cpu_seconds,
        sides[1].peer.peak_mib / sides[0].peer.peak_mib);
  }
  if (mcap_gb > 0) mcap_rows(work, bagstat, mcap_gb, runs);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return drone_bench::bench_main(
      argc, argv,
      "bagstat_bench [--messages N] [--large N] [--chunked N] [--runs R] [--dir DIR] "
      "[--others] [--mcap_gb G]",
      run_bench);
}
