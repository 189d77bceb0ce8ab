#include "scan2fullpcd_task.h"

#include <stdexcept>
#include <string>

#include "framework/escape_json.h"
#include "framework/json_writer.h"
#include "framework/progress.h"
#include "scan_merge/scan_merger.h"
#include "scan_paths.h"

std::string Scan2FullPcdTask::escape_json(const std::string& s) {
  return drone_task::escape_json(s);
}

void Scan2FullPcdTask::run(const drone_task::Params& params, drone_task::Reporter& reporter) {
  const std::string input_dir = params.get_path("input_dir", "");
  const std::string scan_dir_option = params.get_path("scan_dir", "");
  const std::string output_option = params.get_path("output_pcd", "");

  std::string scan_dir;
  if (scan_paths::is_given(scan_dir_option)) {
    scan_dir = scan_dir_option;
  } else if (scan_paths::is_given(input_dir)) {
    scan_dir = scan_paths::scan_dir_of_project(input_dir);
  } else {
    throw drone_task::FailureWithResult("必须指定 input_dir 或 scan_dir");
  }
  const std::string output_pcd = scan_paths::is_given(output_option)
                                     ? output_option
                                     : scan_paths::derived_output_path(scan_dir);

  reporter.report(0, "开始合并: " + scan_dir + " -> " + output_pcd, "{}");
  drone_task::ProgressMeter meter(reporter, 0, 50, "正在合并关键帧");
  const scan2fullpcd::MergeResult merged =
      scan2fullpcd::ScanMerger::merge(scan_dir, output_pcd, meter.callback());
  if (!merged.success) throw drone_task::FailureWithResult(merged.error_message);
  reporter.report(50, "合并完成，正在生成报告...", "{}");

  drone_task::JsonWriter doc;
  doc.begin_object()
      .field("success", true)
      .field("input_scan_dir", merged.input_scan_dir)
      .field("output_pcd", merged.output_pcd)
      .field("keyframe_count", merged.keyframe_count)
      .field("total_points", merged.total_points)
      .end_object();

  reporter.report(100,
                  "任务完成，共合并 " + std::to_string(merged.keyframe_count) + " 帧，" +
                      std::to_string(merged.total_points) + " 点",
                  "{}");
  reporter.finish(doc.str());
}
