#include "caikongqu_task.h"

#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "void_volume/volume_analyzer.h"

void CaikongquTask::run(const drone_task::Params& params, drone_task::Reporter& reporter) {
  const std::string input = params.get_path("input", "");
  if (input.empty()) throw std::runtime_error("缺少参数 --input");
  const int depth = params.get_int("depth", 8);
  const std::string output_dir = params.get_string("output_dir", "/home/ulvar/savemap");
  const bool save_mesh = params.get_bool("save_mesh", false);

  reporter.report(0, "开始加载点云文件: " + input, "{}");
  const caikongqu::VolumeResult result =
      caikongqu::VolumeAnalyzer::analyze(input, depth, output_dir, save_mesh);
  if (!result.success) throw std::runtime_error(result.error_message);

  std::ostringstream message;
  message << "Poisson 重建完成，mesh 面片数: " << result.mesh_polygons
          << ", 连通分量数: " << result.component_volumes.size();
  reporter.report(50, message.str(), "{}");

  // Fixed notation before the first character: every volume gets six decimals and no exponent,
  // however large.
  std::ostringstream doc;
  doc << std::fixed << std::setprecision(6);
  doc << "{\"points_count\":" << result.points_count
      << ",\"mesh_polygons\":" << result.mesh_polygons
      << ",\"total_volume\":" << result.total_volume
      << ",\"component_count\":" << result.component_volumes.size() << ",\"component_volumes\":[";
  for (size_t i = 0; i < result.component_volumes.size(); ++i) {
    if (i > 0) doc << ',';
    doc << result.component_volumes[i];
  }
  doc << "]}";

  std::vector<drone_task::ResultFile> files{{"重建后点云", "PCD格式", result.output_path}};
  if (!result.mesh_path.empty())
    files.push_back({"重建网格", "PLY格式（二进制）", result.mesh_path});
  reporter.finish(doc.str(), files);
}
