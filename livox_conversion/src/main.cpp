#include "framework/entry.h"
#include "livox_to_pc2_task.h"

namespace {

constexpr drone_task::ProgramInfo kInfo{
    "cloudconv_node",
    "Usage: cloudconv_node --input_bag PATH [--output_bag PATH] [--source_topic TOPIC]\n"
    "                      [--target_topic TOPIC] [--point_fields LIST]\n"
    "\n"
    "Rewrites a ROS 1 bag: every Livox lidar frame (livox_ros_driver2/CustomMsg) on the source\n"
    "topic becomes a sensor_msgs/PointCloud2 (x, y, z, intensity as float32, frame\n"
    "lidar0::lidar_link) on the target topic; every other message is copied unchanged with its\n"
    "own connection. Record times are kept. The output never replaces the input.\n"
    "\n"
    "Options:\n"
    "  --input_bag PATH       bag to convert (default: empty, which fails to open)\n"
    "  --output_bag PATH      bag to write (default: empty; empty or None derives it from\n"
    "                         the input: a.bag -> a_pc2.bag, anything else + _pc2.bag)\n"
    "  --source_topic TOPIC   topic carrying the Livox frames (default: /livox/lidar)\n"
    "  --target_topic TOPIC   topic receiving the clouds (default: /livox/points)\n"
    "  --point_fields LIST    fields of each cloud point, comma-separated, in this order,\n"
    "                         packed (default: x,y,z,intensity); known: x, y, z, intensity\n"
    "                         (float32), tag (uint8), ring (uint16, the Livox line),\n"
    "                         time (float32, seconds since the header stamp),\n"
    "                         timestamp (float64, seconds)\n"
    "  --help                 print this text\n"
    "  --version              print the version\n"
    "\n"
    "Output: one JSON progress line per report on standard output, {\"_progress\":{...}}, at\n"
    "0, 50 and 100 percent, then the final line whose metadata holds the result document:\n"
    "  success, input_bag, output_bag, source_topic, target_topic, total_messages,\n"
    "  converted_messages, copied_messages, total_points\n"
    "On failure the document is {\"success\":false,\"error\":\"Bag conversion failed: ...\"}.\n"
    "\n"
    "Environment:\n"
    "  DRONE_TASK_PROGRESS_URL  when set, every report is also POSTed to this URL\n"
    "\n"
    "Exit status: 0 when the conversion succeeded, 1 when it failed.\n"};

}  // namespace

int main(int argc, char** argv) { return drone_task::run_main<LivoxToPc2Task>(argc, argv, kInfo); }
