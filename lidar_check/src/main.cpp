// scancheck_node: checks the Livox lidar frames of one bag and reports the findings.
#include "framework/entry.h"
#include "lidar_validate_task.h"

namespace {

constexpr drone_task::ProgramInfo kInfo{
    "scancheck_node",
    "Usage: scancheck_node --bag PATH [options]\n"
    "\n"
    "Checks every Livox lidar frame (livox_ros_driver2/CustomMsg) on one topic of a ROS 1 bag:\n"
    "frames with too few points, with more than 10 NaN points, with points outside the\n"
    "elevation band, and frame intervals (by header stamp) outside the tolerance.\n"
    "\n"
    "Options:\n"
    "  --bag PATH             bag file to check (required)\n"
    "  --topic NAME           topic of the Livox frames (default /livox/lidar)\n"
    "  --interval MS          expected frame interval in milliseconds (default 100)\n"
    "  --tolerance MS         allowed deviation from the interval in milliseconds (default 20)\n"
    "  --min_points N         minimum points per frame (default 1000)\n"
    "  --min_elevation DEG    lower bound of the elevation band in degrees (default -8)\n"
    "  --max_elevation DEG    upper bound of the elevation band in degrees (default 60)\n"
    "  --help                 print this text\n"
    "  --version              print the version\n"
    "A number that cannot be read falls back to its default. Negative values may be given as\n"
    "separate words, for example --min_elevation -10.\n"
    "\n"
    "Output: one JSON progress line per report on standard output, {\"_progress\":{...}}, at\n"
    "0 and 50 percent and a final line at 100 percent whose metadata.result holds the result\n"
    "document with the keys bag_file, topic, total_frames, anomaly_frames, low_point_frames,\n"
    "high_nan_frames, invalid_angle_frames, avg_points, avg_interval_ms, min_interval_ms,\n"
    "max_interval_ms, anomaly_rate and anomalies (the first 20 anomalous frames, each with\n"
    "frame, time, points, nan, invalid_angle, interval_ms, interval_anomaly).\n"
    "\n"
    "Environment: DRONE_TASK_PROGRESS_URL, when set, names an HTTP endpoint that receives\n"
    "every report as a POST request as well.\n"
    "\n"
    "Exit status: 0 when the bag was checked; 1 on failure (missing --bag, unreadable bag or\n"
    "frame), after an error report and an \"[ERROR] \" line on standard error.\n"};

}  // namespace

int main(int argc, char** argv) {
  return drone_task::run_main<LidarValidateTask>(argc, argv, kInfo);
}
