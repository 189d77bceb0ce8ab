#include "bag_analyzer_task.h"

#include <stdexcept>

#include "bag_stats/bag_analyzer.h"
#include "framework/escape_json.h"
#include "framework/json_writer.h"

namespace {

// The result document; the duration with two decimals.
std::string result_document(const bag_analyzer::BagAnalysisResult& result) {
  drone_task::JsonWriter doc(2);
  doc.begin_object().key("topics").begin_array();
  for (const bag_analyzer::TopicInfo& topic : result.topics) {
    doc.begin_object()
        .field("name", topic.name)
        .field("count", topic.message_count)
        .field("msg_type", topic.msg_type)
        .end_object();
  }
  doc.end_array()
      .field("total_messages", result.total_messages)
      .field("duration_seconds", result.duration)
      .end_object();
  return doc.str();
}

}  // namespace

std::string BagAnalyzerTask::escape_json(const std::string& s) {
  return drone_task::escape_json(s);
}

void BagAnalyzerTask::run(const drone_task::Params& params, drone_task::Reporter& reporter) {
  const std::string bag_path = params.get_path("bag", "");
  if (bag_path.empty()) throw std::runtime_error("缺少参数 --bag");

  reporter.report(0, "开始解析 bag 文件", "{}");
  const bag_analyzer::BagAnalysisResult result = bag_analyzer::BagAnalyzer::analyze(bag_path);
  if (!result.success) throw std::runtime_error(result.error_message);
  const std::string note = bag_format::read_note(result.read, "统计");
  if (!note.empty()) reporter.report(50, note, "{}");

  reporter.report(50, "正在统计 topic 帧数...", "{}");
  reporter.finish(result_document(result));
}
