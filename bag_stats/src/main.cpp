// bagstat_node: the topics, message types, message counts and duration of one ROS 1 bag.
#include "bag_analyzer_task.h"
#include "framework/entry.h"

namespace {

constexpr drone_task::ProgramInfo kInfo{
    "bagstat_node",
    "Usage: bagstat_node --bag PATH\n"
    "\n"
    "Lists the topics of a ROS 1 bag with their message types and message counts, the total\n"
    "number of messages and the recording's duration. Only the bag's index is read, never a\n"
    "message payload, so large bags are analysed in about the time their index takes to read.\n"
    "\n"
    "Options:\n"
    "  --bag PATH     bag file to analyse; required, no default\n"
    "  --help         print this text and exit with status 0\n"
    "  --version      print the program's version and exit with status 0\n"
    "\n"
    "Output: one JSON report per line on standard output, each wrapped as {\"_progress\":...}:\n"
    "  0 percent \"开始解析 bag 文件\", 50 percent \"正在统计 topic 帧数...\", then the final\n"
    "  report (100 percent, \"任务完成\") whose metadata holds {\"result\":DOC,\"files\":[]}.\n"
    "  DOC keys, in order:\n"
    "    \"topics\"            [{\"name\",\"count\",\"msg_type\"}, ...] by name, in byte order\n"
    "    \"total_messages\"    number of messages over all topics\n"
    "    \"duration_seconds\"  last minus first message time, 2 decimals; 0.00 if no message\n"
    "\n"
    "Environment:\n"
    "  DRONE_TASK_PROGRESS_URL   when set, every report is also sent there as an HTTP POST\n"
    "\n"
    "Exit status: 0 when the bag was analysed; 1 on failure (missing --bag, a bag that cannot\n"
    "be opened or read), after a 100-percent report \"错误: ...\" and an \"[ERROR] \" line on\n"
    "standard error.\n"};

}  // namespace

int main(int argc, char** argv) { return drone_task::run_main<BagAnalyzerTask>(argc, argv, kInfo); }
