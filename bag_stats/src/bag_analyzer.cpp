#include "bag_stats/bag_analyzer.h"

#include <ros/time.h>
#include <rosbag/bag.h>
#include <rosbag/view.h>

#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "bag_check/bag_chunks.h"
#include "bag_check/bag_structure.h"
#include "bag_index.h"
#include "chunk_walk.h"

namespace bag_analyzer {

namespace {

const char kOpenFailed[] = "无法打开 bag 文件: ";

// A stored time in seconds, as ros::Time::toSec converts it.
double seconds(const StoredTime& t) {
  return static_cast<double>(t.sec) + 1e-9 * static_cast<double>(t.nsec);
}

// The inventory from the index section alone: a topic is listed when a chunk-info record counts
// a message for one of its connections, and takes the type of the last such connection by id,
// as a view over the whole bag lists them.
BagAnalysisResult from_index(const BagIndex& index) {
  struct Topic {
    uint32_t count = 0;  // 32 bits, as the message walk counts
    const std::string* type = nullptr;
  };
  std::map<std::string, Topic> topics;  // byte-wise order of std::string comparison
  uint32_t total = 0;
  for (const IndexedConnection& connection : index.connections) {
    if (connection.messages == 0) continue;
    Topic& topic = topics[connection.topic];
    topic.count += static_cast<uint32_t>(connection.messages);
    topic.type = &connection.datatype;
    total += static_cast<uint32_t>(connection.messages);
  }

  BagAnalysisResult result;
  if (!topics.empty()) {
    result.start_time = seconds(index.start);
    result.end_time = seconds(index.end);
    result.duration = result.end_time - result.start_time;
  }
  result.total_messages = total;
  result.success = true;
  result.topics.reserve(topics.size());
  for (const auto& entry : topics) {
    TopicInfo info;
    info.name = entry.first;
    info.message_count = entry.second.count;
    info.msg_type = *entry.second.type;
    result.topics.push_back(std::move(info));
  }
  return result;
}

// The inventory from the chunks themselves.
BagAnalysisResult from_chunks(const ChunkInventory& chunks) {
  BagAnalysisResult result;
  result.start_time = chunks.start_time;
  result.end_time = chunks.end_time;
  result.duration = result.end_time - result.start_time;
  result.total_messages = chunks.total;
  result.unreadable_bytes = chunks.unreadable_bytes;
  result.success = true;
  for (const auto& entry : chunks.topics) {
    TopicInfo info;
    info.name = entry.first;
    info.message_count = entry.second.messages;
    info.msg_type = entry.second.datatype;
    result.topics.push_back(std::move(info));
  }
  return result;
}

// The inventory through the bag library, for the files the index reader leaves to it (older
// format versions, encrypted or unindexed bags, and every damaged index): opening reads every
// index entry, and a view over the whole bag walks them.
BagAnalysisResult from_view(const std::string& bag_path) {
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
  // the bag, so on this path such messages are not counted.)
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

}  // namespace

BagAnalysisResult BagAnalyzer::analyze(const std::string& bag_path) {
  // The chunk-info records count every message of each chunk per connection and give each
  // chunk's first and last time, which is all the inventory needs.
  // Only an index that lists every stored chunk counts them all; a bag whose index leaves chunks
  // out is counted from the chunks themselves (the bag library would count the listed part).
  const std::optional<BagIndex> index = read_bag_index(bag_path);
  const std::string coverage = index ? bag_check::check_index_covers_chunks(bag_path) : "";
  if (index && coverage.empty()) return from_index(*index);
  // An index that lists a chunk where none is stored tells of data the file no longer holds:
  // no count of it can be trusted.
  if (coverage.rfind("the index lists a chunk at byte", 0) == 0) {
    BagAnalysisResult result;
    result.error_message = std::string(kOpenFailed) + coverage;
    return result;
  }
  std::optional<ChunkInventory> chunks;
  try {
    if (index) {
      chunks = walk_chunks_before_index(bag_path);
    } else {
      chunks = walk_unclosed_recording(bag_path);
    }
  } catch (const std::runtime_error& e) {
    BagAnalysisResult result;
    result.error_message = std::string(kOpenFailed) + e.what();
    return result;
  }
  if (!chunks) return from_view(bag_path);
  BagAnalysisResult result = from_chunks(*chunks);
  result.recording_closed = index.has_value();
  result.index_complete = coverage.empty();
  return result;
}

}  // namespace bag_analyzer
