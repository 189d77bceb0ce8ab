// Merges a directory of many generated keyframes and prints how long it took and how much
// memory the process held at its peak, beside the size of one keyframe and of all of them, and
// the time of a plain copy of the same bytes.
//
//   scanmerge_bench [--keyframes N] [--points P] [--dir DIR]
//
// Defaults: 400 keyframes of 20,000 points, in a new directory under DIR ($TMPDIR or /tmp) that
// is removed at the end.
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "bench/bench_main.h"
#include "bench/measure.h"
#include "scan_merge/scan_merger.h"

namespace {

namespace fs = std::filesystem;

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
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

int run_bench(drone_bench::Options& options) {
  const int keyframes = static_cast<int>(options.integer("keyframes", 400, 1));
  const auto points = static_cast<uint32_t>(options.integer("points", 20000, 1));
  const std::string parent = options.text("dir", drone_bench::default_temp_parent());
  options.check_all_known();
  const drone_bench::ScratchDir scratch(parent, "scanmerge_bench_");
  const fs::path dir = scratch.path();
  fs::create_directories(dir / "scan");
  for (int k = 0; k < keyframes; ++k) {
    write_keyframe((dir / "scan" / (std::to_string(k) + ".pcd")).string(), points,
                   static_cast<uint32_t>(k));
  }
  const double keyframe_mib =
      static_cast<double>(fs::file_size(dir / "scan" / "0.pcd")) / 1048576.0;

  // A plain copy of the keyframes into one file: what the merge cannot beat.
  const drone_bench::Usage copy = drone_bench::time_here([&] {
    std::ofstream out(dir / "copy.bin", std::ios::binary);
    for (int k = 0; k < keyframes; ++k) {
      std::ifstream in(dir / "scan" / (std::to_string(k) + ".pcd"), std::ios::binary);
      out << in.rdbuf();
    }
  });
  const double copy_s = copy.wall_seconds;
  const double total_mib = static_cast<double>(fs::file_size(dir / "copy.bin")) / 1048576.0;

  const long rss_before = peak_rss_kib();
  scan2fullpcd::MergeResult r;
  const drone_bench::Usage merge = drone_bench::time_here([&] {
    r = scan2fullpcd::ScanMerger::merge((dir / "scan").string(), (dir / "full.pcd").string());
  });
  const double merge_s = merge.wall_seconds;
  const long rss_after = peak_rss_kib();
  if (!r.success) throw std::runtime_error("merge failed: " + r.error_message);

  std::printf("keyframes            %d x %u points\n", r.keyframe_count, points);
  std::printf("one keyframe         %.1f MiB\n", keyframe_mib);
  std::printf("all keyframes        %.1f MiB\n", total_mib);
  std::printf("merged points        %llu\n", static_cast<unsigned long long>(r.total_points));
  std::printf("merge time           %.3f s (%.0f MiB/s)\n", merge_s, total_mib / merge_s);
  std::printf("plain copy time      %.3f s (merge / copy = %.2f)\n", copy_s, merge_s / copy_s);
  std::printf("peak RSS before      %.1f MiB\n", static_cast<double>(rss_before) / 1024.0);
  const double growth_mib = static_cast<double>(rss_after - rss_before) / 1024.0;
  std::printf("peak RSS after       %.1f MiB (growth %.1f MiB = %.2f keyframes, %.3f of all)\n",
              static_cast<double>(rss_after) / 1024.0, growth_mib, growth_mib / keyframe_mib,
              growth_mib / total_mib);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return drone_bench::bench_main(
      argc, argv, "scanmerge_bench [--keyframes N] [--points P] [--dir DIR]", run_bench);
}
