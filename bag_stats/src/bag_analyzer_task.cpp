#include "bag_analyzer_task.h"

#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>

#include "bag_stats/bag_analyzer.h"
#include "framework/escape_json.h"

namespace {

// The result document; numbers in the classic locale so that no digit grouping or decimal comma
// of the user's locale can reach the JSON text.
std::string result_document(const bag_analyzer::BagAnalysisResult& result) {
  std::ostringstream doc;
  doc.imbue(std::locale::classic());
  doc << "{\"topics\":[";
  bool first = true;
  for (const bag_analyzer::TopicInfo& topic : result.topics) {
    if (!first) doc << ',';
    first = false;
    doc << "{\"name\":\"" << BagAnalyzerTask::escape_json(topic.name)
        << "\",\"count\":" << topic.message_count << ",\"msg_type\":\""
        << BagAnalyzerTask::escape_json(topic.msg_type) << "\"}";
  }
  doc << "],\"total_messages\":" << result.total_messages << ",\"duration_seconds\":" << std::fixed
      << std::setprecision(2) << result.duration << '}';
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

  reporter.report(50, "正在统计 topic 帧数...", "{}");
  reporter.finish(result_document(result));
}
