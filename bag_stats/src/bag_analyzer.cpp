#include "bag_stats/bag_analyzer.h"

#include <ros/time.h>
#include <rosbag/bag.h>
#include <rosbag/view.h>

#include <cstdint>
#include <exception>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>

#include "bag_check/bag_structure.h"

namespace bag_analyzer {

namespace {

const char kOpenFailed[] = "无法打开 bag 文件: ";

}  // namespace

BagAnalysisResult BagAnalyzer::analyze(const std::string& bag_path) {
  BagAnalysisResult result;

  // Damage that would make the bag library read out of bounds while opening is refused here, as
  // a bag that cannot be opened.
  const std::string fault = bag_check::check_structure(bag_path);
  if (!fault.empty()) {
    result.error_message = std::string(kOpenFailed) + fault;
    return result;
  }

  rosbag::Bag bag;
  try {
    // Opening reads the bag's header, its connection records and every chunk's index; chunk
    // payloads are skipped, not read.
    bag.open(bag_path, rosbag::bagmode::Read);
  } catch (const std::exception& e) {
    result.error_message = std::string(kOpenFailed) + e.what();
    return result;
  }

  // The whole bag: every connection, every time the bag library accepts, each message once. (The
  // library refuses index entries stamped before ros::TIME_MIN, i.e. at time 0, when it opens
  // the bag; such messages are invisible to every reader built on it, this one included.)
  rosbag::View view(bag, ros::TIME_MIN, ros::TIME_MAX, false);

  // The view lists connections in ascending connection id; a later connection on the same
  // topic overwrites the type of an earlier one.
  std::map<std::string, std::string> types;
  for (const rosbag::ConnectionInfo* connection : view.getConnections()) {
    types[connection->topic] = connection->datatype;
  }

  // Iterating the view walks the in-memory index; a message instance only points at its index
  // entry and connection, and its payload is never instantiated. getTopic() refers to the topic
  // string of the message's connection, which lives as long as the bag, so counting per string
  // address avoids a string comparison per message; the counts are folded by name below.
  std::unordered_map<const std::string*, uint32_t> per_connection;
  uint32_t total = 0;
  for (rosbag::View::iterator it = view.begin(); it != view.end(); ++it) {
    ++per_connection[&it->getTopic()];
    ++total;
  }
  std::map<std::string, uint32_t> counts;  // byte-wise order of std::string comparison
  for (const auto& entry : per_connection) counts[*entry.first] += entry.second;

  // An empty selection has begin = ros::TIME_MAX and end = ros::TIME_MIN in the bag library,
  // whose difference (about -4.3e9 s) describes no recording; a bag without messages reports
  // all three times as 0.
  if (total > 0) {
    result.start_time = view.getBeginTime().toSec();
    result.end_time = view.getEndTime().toSec();
    result.duration = result.end_time - result.start_time;
  }
  result.total_messages = total;
  result.success = true;

  result.topics.reserve(counts.size());
  for (const auto& entry : counts) {
    TopicInfo info;
    info.name = entry.first;
    info.message_count = entry.second;
    const auto type = types.find(entry.first);
    if (type != types.end()) info.msg_type = type->second;
    result.topics.push_back(std::move(info));
  }

  bag.close();
  return result;
}

}  // namespace bag_analyzer
