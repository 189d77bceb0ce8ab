#include "framework/entry.h"
#include "scan2fullpcd_task.h"

namespace {

constexpr drone_task::ProgramInfo kInfo{
    "scanmerge_node",
    "Usage: scanmerge_node (--scan_dir DIR | --input_dir DIR) [--output_pcd FILE]\n"
    "\n"
    "Merges the keyframes (*.pcd, natural name order) of a scan directory into one binary PCD\n"
    "file that keeps every field of the keyframes, and reports the result.\n"
    "\n"
    "Options (an empty value or None counts as not given):\n"
    "  --scan_dir DIR     directory holding the keyframes; wins over --input_dir (default: none)\n"
    "  --input_dir DIR    project directory; its subdirectory scan holds the keyframes\n"
    "                     (default: none)\n"
    "  --output_pcd FILE  merged PCD file (default: derived from the scan directory:\n"
    "                     /data/site1/scan -> /data/site1/site1_full.pcd,\n"
    "                     /data/site1/scans -> /data/site1/scans/scans_full.pcd)\n"
    "  --help             print this text\n"
    "  --version          print the version\n"
    "\n"
    "Output: one JSON progress line per report on standard output, {\"_progress\":{...}}; the\n"
    "final one carries the result document\n"
    "  {\"success\":true,\"input_scan_dir\":\"...\",\"output_pcd\":\"...\",\"keyframe_count\":N,\n"
    "   \"total_points\":N}\n"
    "or, on failure, {\"success\":false,\"error\":\"...\"}.\n"
    "\n"
    "Environment: DRONE_TASK_PROGRESS_URL, when set, names an HTTP endpoint that every report\n"
    "is also POSTed to.\n"
    "\n"
    "Exit status: 0 when the merge was written, 1 on failure (with \"[ERROR] <text>\" on\n"
    "standard error).\n"};

}  // namespace

int main(int argc, char** argv) {
  return drone_task::run_main<Scan2FullPcdTask>(argc, argv, kInfo);
}
