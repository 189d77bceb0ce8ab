#include "livox_to_pc2_task.h"

#include <stdexcept>

#include "framework/escape_json.h"
#include "framework/json_writer.h"
#include "framework/progress.h"
#include "livox_conversion/livox_to_pc2.h"
#include "livox_conversion/point_layout.h"
#include "ros2_storage/recording.h"

namespace {

constexpr char kBagSuffix[] = ".bag";
constexpr char kOutputSuffix[] = "_pc2.bag";

// `input` with `ending` replaced by `replacement` when it ends the path, case-sensitively, or
// with `replacement` appended whole.
std::string replace_ending(const std::string& input, const std::string& ending,
                           const std::string& replacement) {
  const size_t pos = input.rfind(ending);
  if (pos != std::string::npos && input.size() >= ending.size() &&
      pos == input.size() - ending.size()) {
    return input.substr(0, pos) + replacement;
  }
  return input + replacement;
}

// a.bag gives a_pc2.bag; any other path (a.bagfile, a.BAG, a, the empty path) gets the suffix
// appended whole. A ROS 2 recording keeps its storage: a.mcap gives a_pc2.mcap, a.db3 gives
// a_pc2.db3, the folder a (or a/) gives a_pc2.
std::string derive_output_path(const std::string& input) {
  switch (ros2_storage::detect_input(input)) {
    case ros2_storage::InputKind::mcap_file:
      return replace_ending(input, ".mcap", "_pc2.mcap");
    case ros2_storage::InputKind::sqlite_file:
      return replace_ending(input, ".db3", "_pc2.db3");
    case ros2_storage::InputKind::rosbag2_folder: {
      std::string folder = input;
      while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
      return folder + "_pc2";
    }
    case ros2_storage::InputKind::ros1_bag:
    case ros2_storage::InputKind::unknown:
      break;
  }
  return replace_ending(input, kBagSuffix, kOutputSuffix);
}

}  // namespace

std::string LivoxToPc2Task::escape_json(const std::string& text) {
  return drone_task::escape_json(text);
}

void LivoxToPc2Task::run(const drone_task::Params& params, drone_task::Reporter& reporter) {
  const std::string input_bag = params.get_path("input_bag", "");
  const std::string source_topic = params.get_string("source_topic", "/livox/lidar");
  const std::string target_topic = params.get_string("target_topic", "/livox/points");
  std::string output_bag = params.get_path("output_bag", "");
  if (output_bag.empty() || output_bag == "None") output_bag = derive_output_path(input_bag);
  // The point fields of the clouds; without the option, x, y, z and intensity. A list that does
  // not read fails here, before anything is reported or written.
  livox_to_pc2::PointLayout layout;
  if (params.has("point_fields")) {
    std::string reason;
    if (!livox_to_pc2::PointLayout::parse(params.get_string("point_fields", ""), &layout,
                                          &reason)) {
      throw std::runtime_error("参数 --point_fields " + reason +
                               "；可用字段: " + livox_to_pc2::PointLayout::known_names());
    }
  }

  reporter.report(0, "开始转换: " + input_bag + " -> " + output_bag, "{}");
  drone_task::ProgressMeter meter(reporter, 0, 50, "正在转换");
  const livox_to_pc2::ConversionResult result = livox_to_pc2::LivoxToPc2Converter::convert(
      input_bag, output_bag, source_topic, target_topic, layout, meter.callback());
  if (!result.success) throw drone_task::FailureWithResult(result.error);
  const std::string note = bag_format::read_note(result.read, "转换");
  if (!note.empty()) reporter.report(50, note, "{}");
  reporter.report(50, "转换完成，正在生成报告...", "{}");

  drone_task::JsonWriter doc;
  doc.begin_object()
      .field("success", true)
      .field("input_bag", result.input_bag)
      .field("output_bag", result.output_bag)
      .field("source_topic", result.source_topic)
      .field("target_topic", result.target_topic)
      .field("total_messages", result.total_messages)
      .field("converted_messages", result.converted_messages)
      .field("copied_messages", result.copied_messages)
      .field("total_points", result.total_points)
      .end_object();

  reporter.report(100,
                  "任务完成，共转换 " + std::to_string(result.converted_messages) + " 帧，" +
                      std::to_string(result.total_points) + " 点",
                  "{}");
  reporter.finish(doc.str());
}
