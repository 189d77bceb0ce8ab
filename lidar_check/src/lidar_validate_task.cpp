#include "lidar_validate_task.h"

#include <cstdint>
#include <stdexcept>
#include <string>

#include "framework/escape_json.h"
#include "framework/json_writer.h"
#include "framework/progress.h"
#include "lidar_check/lidar_validator.h"

LidarValidateTask::~LidarValidateTask() = default;

std::string LidarValidateTask::escape_json(const std::string& text) {
  return drone_task::escape_json(text);
}

void LidarValidateTask::run(const drone_task::Params& params, drone_task::Reporter& reporter) {
  const std::string bag = params.get_path("bag", "");
  if (bag.empty()) throw std::runtime_error("缺少参数 --bag");
  const std::string topic = params.get_string("topic", "/livox/lidar");
  const double interval = params.get_finite_double("interval", 100.0);
  const double tolerance = params.get_finite_double("tolerance", 20.0);
  const int min_points = params.get_int("min_points", 1000);
  const double min_elevation = params.get_finite_double("min_elevation", -8.0);
  const double max_elevation = params.get_finite_double("max_elevation", 60.0);

  reporter.report(0, "开始验证 bag 文件: " + bag, "{}");
  drone_task::ProgressMeter meter(reporter, 0, 50, "正在检查");
  const lidar_validate::ValidationResult result = lidar_validate::LidarValidator::validate(
      bag, topic, interval, tolerance, min_points, min_elevation, max_elevation, meter.callback());
  if (!result.success) throw std::runtime_error(result.error);
  const std::string note = bag_format::read_note(result.read, "检查");
  if (!note.empty()) reporter.report(50, note, "{}");
  reporter.report(50, "验证完成，正在生成报告...", "{}");

  // The share of measured frame intervals that were out of tolerance, in percent.
  const double anomaly_rate = result.total_frames > 1
                                  ? 100.0 * static_cast<double>(result.anomaly_frames) /
                                        static_cast<double>(result.total_frames - 1)
                                  : 0.0;

  // Every double with two decimals.
  drone_task::JsonWriter doc(2);
  doc.begin_object()
      .field("bag_file", result.bag_file)
      .field("topic", result.topic)
      .field("total_frames", result.total_frames)
      .field("anomaly_frames", result.anomaly_frames)
      .field("low_point_frames", result.low_point_frames)
      .field("high_nan_frames", result.high_nan_frames)
      .field("invalid_angle_frames", result.invalid_angle_frames)
      .field("avg_points", result.avg_points)
      .field("avg_interval_ms", result.avg_interval_ms)
      .field("min_interval_ms", result.min_interval_ms)
      .field("max_interval_ms", result.max_interval_ms)
      .field("anomaly_rate", anomaly_rate)
      .key("anomalies")
      .begin_array();
  for (const lidar_validate::FrameAnomaly& a : result.anomalies) {
    doc.begin_object()
        .field("frame", a.frame)
        .field("time", a.time)
        .field("points", a.points)
        .field("nan", a.nan)
        .field("invalid_angle", a.invalid_angle)
        .field("interval_ms", a.interval_ms)
        .field("interval_anomaly", a.interval_anomaly)
        .end_object();
  }
  doc.end_array().end_object();
  reporter.finish(doc.str());
}
