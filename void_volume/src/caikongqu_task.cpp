#include "caikongqu_task.h"

#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/json_writer.h"
#include "framework/progress.h"
#include "framework/standard_streams.h"
#include "void_volume/volume_analyzer.h"

namespace {

// `value` in fixed notation with `decimals` decimals and a point, whatever the process's locale.
std::string fixed_text(double value, int decimals) {
  std::ostringstream text;
  text.imbue(std::locale::classic());
  text << std::fixed << std::setprecision(decimals) << value;
  return text.str();
}

// What the list of output files says of the saved mesh.
std::string mesh_remark(caikongqu::MeshFormat format) {
  switch (format) {
    case caikongqu::MeshFormat::kObj:
      return "OBJ格式（文本）";
    case caikongqu::MeshFormat::kStl:
      return "STL格式（二进制）";
    case caikongqu::MeshFormat::kDxf:
      return "DXF格式（3DFACE）";
    case caikongqu::MeshFormat::kPly:
      break;
  }
  return "PLY格式（二进制）";
}

}  // namespace

void CaikongquTask::run(const drone_task::Params& params, drone_task::Reporter& reporter) {
  const std::string input = params.get_path("input", "");
  if (input.empty()) throw std::runtime_error("缺少参数 --input");
  const int depth = params.get_int("depth", 8);
  const std::string output_dir = params.get_string("output_dir", "/home/ulvar/savemap");
  const bool save_mesh = params.get_bool("save_mesh", false);
  // An unknown format fails the run before anything is read or written.
  caikongqu::MeshFormat mesh_format = caikongqu::MeshFormat::kPly;
  const std::string format_name = params.get_string("mesh_format", "ply");
  if (!caikongqu::parse_mesh_format(format_name, mesh_format)) {
    throw std::runtime_error("未知的网格格式 --mesh_format " + format_name +
                             "（可选 ply、obj、stl、dxf）");
  }

  reporter.report(0, "开始加载点云文件: " + input, "{}");
  // A large cloud takes minutes to reconstruct: each step done shows between 0 and 50.
  drone_task::ProgressMeter meter(reporter, 0, 50, "正在重建表面");
  const caikongqu::VolumeResult result = [&] {
    // The point-cloud library prints diagnostics of its own on both streams ("Vertex pair not
    // in list ...", its warnings and errors): they mean nothing to a user, whose report lines
    // and error line leave by other ways, so they go nowhere.
    const drone_task::LibraryOutputSilenced quiet_library;
    return caikongqu::VolumeAnalyzer::analyze(input, depth, output_dir, save_mesh, mesh_format,
                                              meter.callback());
  }();
  if (!result.success) throw std::runtime_error(result.error_message);

  reporter.report(50,
                  "Poisson 重建完成，mesh 面片数: " + std::to_string(result.mesh_polygons) +
                      ", 连通分量数: " + std::to_string(result.component_volumes.size()),
                  "{}");
  if (result.duplicate_points > 0) {
    reporter.report(50,
                    "已合并重复点: " + std::to_string(result.duplicate_points) + " 个（共 " +
                        std::to_string(result.points_count) + " 个点）",
                    "{}");
  }
  if (result.stray_points > 0) {
    reporter.report(50,
                    "已剔除离群点: " + std::to_string(result.stray_points) + " 个（共 " +
                        std::to_string(result.points_count) + " 个点）",
                    "{}");
  }
  if (result.nested_pieces > 0) {
    reporter.report(50,
                    "已剔除内部分量: " + std::to_string(result.nested_pieces) + " 个（体积 " +
                        fixed_text(result.nested_volume, 6) + "，位于另一分量之内）",
                    "{}");
  }
  if (result.thin_pieces > 0) {
    reporter.report(50,
                    "已剔除细窄分量: " + std::to_string(result.thin_pieces) + " 个（体积 " +
                        fixed_text(result.thin_volume, 6) + "，薄于点间距，如钻孔）",
                    "{}");
  }
  if (result.mesh_open_pieces > 0) {
    reporter.report(
        50, "网格未闭合分量: " + std::to_string(result.mesh_open_pieces) + " 个（按重建原样保存）",
        "{}");
  }
  reporter.report(50, "未扫描表面占比: " + fixed_text(100.0 * result.unscanned_share, 2) + " %",
                  "{}");
  // Each window where the surface was bridged, marked red in the saved mesh.
  for (const caikongqu::UnscannedWindow& w : result.windows) {
    reporter.report(50,
                    "未扫描窗口: 面积 " + fixed_text(w.area, 2) + "，宽 " + fixed_text(w.width, 2) +
                        "，中心 (" + fixed_text(w.centre[0], 2) + ", " +
                        fixed_text(w.centre[1], 2) + ", " + fixed_text(w.centre[2], 2) + ")",
                    "{}");
  }

  // Every volume with six decimals and no exponent, however large.
  drone_task::JsonWriter doc(6);
  doc.begin_object()
      .field("points_count", result.points_count)
      .field("mesh_polygons", result.mesh_polygons)
      .field("total_volume", result.total_volume)
      .field("component_count", result.component_volumes.size())
      .key("component_volumes")
      .begin_array();
  for (const double volume : result.component_volumes) doc.value(volume);
  doc.end_array().end_object();

  std::vector<drone_task::ResultFile> files{{"重建后点云", "PCD格式", result.output_path}};
  if (!result.mesh_path.empty())
    files.push_back({"重建网格", mesh_remark(mesh_format), result.mesh_path});
  reporter.finish(doc.str(), files);
}
