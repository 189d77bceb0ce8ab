// Merges a directory of many generated keyframes and prints how long it took and how much
// memory the process held at its peak, beside the size of one keyframe and of all of them, and
// the time of a plain copy of the same bytes. Usage: scanmerge_bench [keyframes] [points each]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "scan_merge/scan_merger.h"

namespace {

namespace fs = std::filesystem;

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One binary keyframe of x y z intensity ring, written record by record so that making the
// test data does not raise the peak itself.
void write_keyframe(const std::string& path, uint32_t points, uint32_t seed) {
  std::ofstream out(path, std::ios::binary);
  out << "VERSION 0.7\nFIELDS x y z intensity ring\nSIZE 4 4 4 4 2\nTYPE F F F F U\n"
         "COUNT 1 1 1 1 1\nWIDTH "
      << points << "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " << points << "\nDATA binary\n";
  uint32_t state = seed * 2654435761u + 1;
  char record[18];
  for (uint32_t p = 0; p < points; ++p) {
    state = state * 1664525u + 1013904223u;
    const float v[4] = {static_cast<float>(state % 10000) / 100.0f, static_cast<float>(p),
                        static_cast<float>(seed), static_cast<float>(state % 256)};
    const uint16_t ring = static_cast<uint16_t>(p % 32);
    std::memcpy(record, v, sizeof(v));
    std::memcpy(record + 16, &ring, sizeof(ring));
    out.write(record, sizeof(record));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int keyframes = argc > 1 ? std::atoi(argv[1]) : 400;
  const uint32_t points = argc > 2 ? static_cast<uint32_t>(std::atol(argv[2])) : 20000;
  const fs::path dir =
      fs::temp_directory_path() / ("scanmerge_bench_" + std::to_string(::getpid()));
  fs::create_directories(dir / "scan");
  for (int k = 0; k < keyframes; ++k) {
    write_keyframe((dir / "scan" / (std::to_string(k) + ".pcd")).string(), points,
                   static_cast<uint32_t>(k));
  }
  const double keyframe_mib = fs::file_size(dir / "scan" / "0.pcd") / 1048576.0;

  // A plain copy of the keyframes into one file: what the merge cannot beat.
  auto start = std::chrono::steady_clock::now();
  {
    std::ofstream out(dir / "copy.bin", std::ios::binary);
    for (int k = 0; k < keyframes; ++k) {
      std::ifstream in(dir / "scan" / (std::to_string(k) + ".pcd"), std::ios::binary);
      out << in.rdbuf();
    }
  }
  const double copy_s = seconds_since(start);
  const double total_mib = fs::file_size(dir / "copy.bin") / 1048576.0;

  const long rss_before = peak_rss_kib();
  start = std::chrono::steady_clock::now();
  const scan2fullpcd::MergeResult r =
      scan2fullpcd::ScanMerger::merge((dir / "scan").string(), (dir / "full.pcd").string());
  const double merge_s = seconds_since(start);
  const long rss_after = peak_rss_kib();
  fs::remove_all(dir);
  if (!r.success) {
    std::fprintf(stderr, "merge failed: %s\n", r.error_message.c_str());
    return 1;
  }

  std::printf("keyframes            %d x %u points\n", r.keyframe_count, points);
  std::printf("one keyframe         %.1f MiB\n", keyframe_mib);
  std::printf("all keyframes        %.1f MiB\n", total_mib);
  std::printf("merged points        %llu\n", static_cast<unsigned long long>(r.total_points));
  std::printf("merge time           %.3f s (%.0f MiB/s)\n", merge_s, total_mib / merge_s);
  std::printf("plain copy time      %.3f s (merge / copy = %.2f)\n", copy_s, merge_s / copy_s);
  std::printf("peak RSS before      %.1f MiB\n", rss_before / 1024.0);
  std::printf("peak RSS after       %.1f MiB (growth %.1f MiB = %.2f keyframes, %.3f of all)\n",
              rss_after / 1024.0, (rss_after - rss_before) / 1024.0,
              (rss_after - rss_before) / 1024.0 / keyframe_mib,
              (rss_after - rss_before) / 1024.0 / total_mib);
  return 0;
}
