#include "view_walk.h"

#include <ros/time.h>
#include <rosbag/bag.h>
#include <rosbag/view.h>

#include <cstdint>
#include <cstdio>
#include <map>

namespace bagstat_test {

bag_analyzer::BagAnalysisResult view_walk(const std::string& path) {
  rosbag::Bag bag(path, rosbag::bagmode::Read);
  rosbag::View view(bag, ros::TIME_MIN, ros::TIME_MAX, false);
  std::map<std::string, std::string> types;
  for (const rosbag::ConnectionInfo* connection : view.getConnections()) {
    types[connection->topic] = connection->datatype;
  }
  std::map<std::string, uint32_t> counts;
  bag_analyzer::BagAnalysisResult r;
  for (const rosbag::MessageInstance& m : view) {
    ++counts[m.getTopic()];
    ++r.total_messages;
  }
  if (r.total_messages > 0) {
    r.start_time = view.getBeginTime().toSec();
    r.end_time = view.getEndTime().toSec();
    r.duration = r.end_time - r.start_time;
  }
  for (const auto& c : counts) r.topics.push_back({c.first, c.second, types[c.first]});
  r.success = true;
  return r;
}

std::string inventory(const bag_analyzer::BagAnalysisResult& r) {
  std::string text;
  for (const auto& t : r.topics) {
    text += t.name + "\t" + std::to_string(t.message_count) + "\t" + t.msg_type + "\n";
  }
  char line[160];
  std::snprintf(line, sizeof line, "%u messages, %.17g to %.17g, %.17g s", r.total_messages,
                r.start_time, r.end_time, r.duration);
  return text + line;
}

}  // namespace bagstat_test
