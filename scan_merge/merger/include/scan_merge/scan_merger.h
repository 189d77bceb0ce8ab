#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace scan2fullpcd {

// What one merge did. Plain value, owned by the caller.
struct MergeResult {
  // True when the merged file was written completely and renamed into place.
  bool success = false;
  // Failure text fit to show to a user, naming the path concerned; empty on success.
  std::string error_message;
  // The scan directory merged, as the caller gave it (also set on failure).
  std::string input_scan_dir;
  // Path of the written PCD file, as the caller gave it; empty when nothing was written.
  std::string output_pcd;
  // Number of keyframes merged; 0 on failure.
  int32_t keyframe_count = 0;
  // Number of points in the written cloud (may be 0 when every keyframe is empty); 0 on failure.
  uint64_t total_points = 0;
};

// Joins the keyframes a mapping run saved into one point-cloud file.
class ScanMerger {
 public:
  // Concatenates every keyframe of `scan_dir` into one binary PCD file at `output_pcd`.
  //
  // Keyframes are the regular files whose names end in ".pcd" directly inside `scan_dir` (no
  // subdirectories), taken in natural name order (2.pcd before 10.pcd). They are already in one
  // common frame, so the points are copied unchanged; every field the keyframes carry is kept,
  // in their order. All keyframes must have the same fields (name, type and count); a keyframe
  // that differs is refused. An earlier merge result at `output_pcd` is never taken as a
  // keyframe, so merging into the scan directory twice gives the same result; an `output_pcd`
  // that names one of the keyframes is refused rather than overwritten.
  //
  // The file is written under a temporary name beside `output_pcd` and renamed over it only when
  // complete; on failure the temporary file is removed and an existing `output_pcd` is left as
  // it was. A symbolic link at `output_pcd` is replaced, never written through; an `output_pcd`
  // that exists and is not a regular file (a device, a FIFO, a directory) is refused. Memory in use
  // stays within about one keyframe, whatever their number. Never prints and never throws: every
  // failure, running out of memory included, comes back in the record.
  //
  // `on_progress`, when set, is called after each keyframe written with the share of all points
  // written so far (0 to 1).
  static MergeResult merge(const std::string& scan_dir, const std::string& output_pcd,
                           const std::function<void(double)>& on_progress = {});
};

}  // namespace scan2fullpcd
