#pragma once

#include <string>

#include "framework/task.h"

// The job of scanmerge_node: merge the keyframes of a scan directory into one PCD file with
// libscanmerge and report the directory, the file, the keyframe count and the point count.
//
// Options: "scan_dir" (the keyframe directory; wins when given), "input_dir" (a project
// directory whose "scan" subdirectory holds the keyframes), "output_pcd" (derived from the
// scan directory when not given). Empty and "None" both mean not given.
//
// Reports 0 percent before the merge, 50 and 100 percent after it, then finishes with
// {"success":true,"input_scan_dir":..,"output_pcd":..,"keyframe_count":..,"total_points":..}.
// When no directory is given, or the merge fails, it throws drone_task::FailureWithResult with
// the text (unescaped), which the entry announces as {"success":false,"error":"<text>"}.
// Exceptions from the merge itself pass unchanged.
class Scan2FullPcdTask : public drone_task::Task {
 public:
  ~Scan2FullPcdTask() override = default;
  void run(const drone_task::Params& params, drone_task::Reporter& reporter) override;

  // The suite's JSON string escaping (drone_task::escape_json).
  static std::string escape_json(const std::string& s);
};
