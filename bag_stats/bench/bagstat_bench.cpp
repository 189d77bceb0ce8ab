// bagstat_node against `rosbag info` (Debian's python3-rosbag), side by side in one run, on two
// generated recordings of many small messages: wall and CPU time (medians of alternating runs,
// file in the page cache) and peak resident memory of each process, and how they grow from the
// smaller recording to the larger one. With --others, also the peak memory of the suite's other two
// bag programs on both recordings.
//
//   bagstat_bench [--messages N] [--large N] [--runs R] [--dir DIR] [--others]
//
// Defaults: 1,000,000 and 10,000,000 messages (68 and 680 MB), 5 runs each. The bags are
// written into a new directory under DIR (default $TMPDIR or /tmp) and deleted at the end.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ros/time.h>
#include <rosbag/bag.h>
#include <std_msgs/String.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kTopics = 20;

// Status and sensor topics as a survey drone records them: 20 topics at 200 Hz in turn, each
// message a short text (about 76 bytes a message in the file, index included).
void write_recording(const std::string& path, uint64_t messages) {
  rosbag::Bag bag(path, rosbag::bagmode::Write);
  std::vector<std::string> topics;
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

struct Run {
  double seconds = 0;      // wall time
  double cpu_seconds = 0;  // user and system time of the process
  double peak_mib = 0;     // peak resident memory of the process
  std::string out;         // its standard output
};

// Runs argv as a child with standard output captured and standard error discarded; throws when
// it does not exit 0.
Run run(const std::vector<std::string>& argv) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(pipe_fds[1], 1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    close(pipe_fds[0]);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    unsetenv("DRONE_TASK_PROGRESS_URL");
    execv(args[0], args.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  Run r;
  char buf[4096];
  ssize_t n;
  while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
  close(pipe_fds[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.cpu_seconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                  (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  r.peak_mib = usage.ru_maxrss / 1024.0;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(argv[0] + " failed on " + argv.back());
  }
  return r;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Figures {
  double seconds = 0;      // median wall time
  double cpu_seconds = 0;  // median user and system time
  double peak_mib = 0;     // largest peak over the runs
};

struct Side {
  Figures ours;
  Figures peer;
};

// bagstat_node and rosbag info in turn, `runs` times each; checks bagstat_node's count.
Side compare(const std::string& bagstat, const std::string& rosbag, const std::string& bag,
             uint64_t messages, int runs) {
  std::vector<double> ours;
  std::vector<double> peer;
  std::vector<double> ours_cpu;
  std::vector<double> peer_cpu;
  Side side;
  for (int i = 0; i < runs; ++i) {
    const Run a = run({bagstat, "--bag", bag});
    const std::string expected = "\"total_messages\":" + std::to_string(messages) + ",";
    if (a.out.find(expected) == std::string::npos) {
      throw std::runtime_error("bagstat_node did not count " + std::to_string(messages));
    }
    ours.push_back(a.seconds);
    ours_cpu.push_back(a.cpu_seconds);
    side.ours.peak_mib = std::max(side.ours.peak_mib, a.peak_mib);
    const Run b = run({rosbag, "info", bag});
    peer.push_back(b.seconds);
    peer_cpu.push_back(b.cpu_seconds);
    side.peer.peak_mib = std::max(side.peer.peak_mib, b.peak_mib);
  }
  side.ours.seconds = median(ours);
  side.peer.seconds = median(peer);
  side.ours.cpu_seconds = median(ours_cpu);
  side.peer.cpu_seconds = median(peer_cpu);
  return side;
}

std::string beside_self(const char* name) {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) throw std::runtime_error("cannot find this program's directory");
  self[n] = '\0';
  return (std::filesystem::path(self).parent_path() / name).string();
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t small = 1000000;
  uint64_t large = 10000000;
  int runs = 5;
  bool others = false;
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--messages" && i + 1 < argc) {
      small = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--large" && i + 1 < argc) {
      large = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--others") {
      others = true;
    } else {
      std::fprintf(stderr,
                   "usage: bagstat_bench [--messages N] [--large N] [--runs R] [--dir DIR] "
                   "[--others]\n");
      return 2;
    }
  }
  std::string work = dir + "/bagstat_bench_XXXXXX";
  if (mkdtemp(work.data()) == nullptr) {
    std::fprintf(stderr, "bagstat_bench: cannot create a directory in %s\n", dir.c_str());
    return 1;
  }
  int status = 0;
  try {
    const std::string bagstat = beside_self("bagstat_node");
    const std::string rosbag = "/usr/bin/rosbag";
    if (access(rosbag.c_str(), X_OK) != 0) {
      throw std::runtime_error("rosbag info (python3-rosbag) is not installed");
    }
    std::vector<uint64_t> sizes = {small};
    if (large > small) sizes.push_back(large);

    std::printf("%10s %6s | %-24s | %-24s | %-20s\n", "", "", "bagstat_node", "rosbag info",
                "bagstat_node faster");
    std::printf("%10s %6s | %7s %7s %8s | %7s %7s %8s | %6s %6s %6s\n", "messages", "MB", "wall s",
                "cpu s", "peak MiB", "wall s", "cpu s", "peak MiB", "wall", "cpu", "memory");
    std::vector<Side> sides;
    for (const uint64_t messages : sizes) {
      const std::string bag = work + "/" + std::to_string(messages) + ".bag";
      write_recording(bag, messages);
      const double mb = std::filesystem::file_size(bag) / 1e6;
      const Side s = compare(bagstat, rosbag, bag, messages, runs);
      sides.push_back(s);
      std::printf("%10llu %6.0f | %7.3f %7.3f %8.1f | %7.3f %7.3f %8.1f | %5.1fx %5.1fx %5.2fx\n",
                  static_cast<unsigned long long>(messages), mb, s.ours.seconds, s.ours.cpu_seconds,
                  s.ours.peak_mib, s.peer.seconds, s.peer.cpu_seconds, s.peer.peak_mib,
                  s.peer.seconds / s.ours.seconds, s.peer.cpu_seconds / s.ours.cpu_seconds,
                  s.ours.peak_mib / s.peer.peak_mib);
      std::fflush(stdout);

      if (others) {
        const Run check = run({beside_self("scancheck_node"), "--bag", bag});
        const std::string out_bag = work + "/converted.bag";
        const Run convert =
            run({beside_self("cloudconv_node"), "--input_bag", bag, "--output_bag", out_bag});
        std::remove(out_bag.c_str());
        std::printf("%17s   scancheck_node %.2f s, %.1f MiB; cloudconv_node %.2f s, %.1f MiB\n", "",
                    check.seconds, check.peak_mib, convert.seconds, convert.peak_mib);
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
          sides[1].ours.seconds / sides[0].ours.seconds,
          sides[1].ours.cpu_seconds / sides[0].ours.cpu_seconds,
          sides[1].ours.peak_mib / sides[0].ours.peak_mib,
          sides[1].peer.seconds / sides[0].peer.seconds,
          sides[1].peer.cpu_seconds / sides[0].peer.cpu_seconds,
          sides[1].peer.peak_mib / sides[0].peer.peak_mib);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bagstat_bench: %s\n", e.what());
    status = 1;
  }
  std::filesystem::remove_all(work);
  return status;
}
