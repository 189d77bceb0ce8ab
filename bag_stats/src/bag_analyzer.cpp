#include "bag_stats/bag_analyzer.h"

#include <ros/time.h>
#include <rosbag/bag.h>
#include <rosbag/view.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bag_check/bag_reader.h"
#include "bag_index.h"

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

// The inventory from the chunks themselves, read by `reader`: every message of every chunk,
// those stamped at time 0 included, as the chunk-info records count them. A topic takes the type
// of its connection with the highest id, as from_index does.
BagAnalysisResult from_chunks(bag_check::BagReader& reader) {
  const std::vector<bag_check::ReaderConnection>& connections = reader.connections();
  std::unordered_map<const bag_check::ReaderConnection*, uint32_t> per_connection;
  uint64_t first = std::numeric_limits<uint64_t>::max();
  uint64_t last = 0;
  uint32_t total = 0;
  const bag_check::ReadSummary summary =
      reader.read([](const bag_check::ReaderConnection&) { return true; },
                  [&](const bag_check::ReaderMessage& m) {
                    ++per_connection[m.connection];
                    ++total;
                    const uint64_t time = (uint64_t{m.sec} << 32) | m.nsec;
                    first = std::min(first, time);
                    last = std::max(last, time);
                  },
                  {}, true);

  struct Topic {
    uint32_t count = 0;
    const bag_check::ReaderConnection* typed_by = nullptr;  // the highest id with messages
  };
  std::map<std::string, Topic> topics;  // byte-wise order of std::string comparison
  for (const bag_check::ReaderConnection& connection : connections) {
    const auto found = per_connection.find(&connection);
    if (found == per_connection.end()) continue;
    Topic& topic = topics[connection.topic];
    topic.count += found->second;
    if (topic.typed_by == nullptr || topic.typed_by->id < connection.id) {
      topic.typed_by = &connection;
    }
  }
  BagAnalysisResult result;
  if (total > 0) {
    result.start_time = seconds({static_cast<uint32_t>(first >> 32), static_cast<uint32_t>(first)});
    result.end_time = seconds({static_cast<uint32_t>(last >> 32), static_cast<uint32_t>(last)});
    result.duration = result.end_time - result.start_time;
  }
  result.total_messages = total;
  result.recording_closed = summary.recording_closed;
  // Without an index there is none to be incomplete.
  result.index_complete = summary.index_complete || !summary.recording_closed;
  result.unreadable_bytes = summary.unreadable_bytes;
  result.success = true;
  for (const auto& entry : topics) {
    TopicInfo info;
    info.name = entry.first;
    info.message_count = entry.second.count;
    info.msg_type = entry.second.typed_by->datatype;
    result.topics.push_back(std::move(info));
  }
  return result;
}

// The inventory through the bag library, for the files the bag reader leaves to it (formats
// other than version 2.0, or no bag at all, which the library refuses with its own reason):
// opening reads every index entry, and a view over the whole bag walks them.
BagAnalysisResult from_view(const std::string& bag_path) {
  BagAnalysisResult result;
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
  // The bag reader walks the record headers of the chunk section and decides whether the index
  // lists exactly the stored chunks (index_complete), whether the recording was closed at all,
  // and refuses damage such as an index that lists a chunk where none is stored. Files it
  // leaves to the bag library (other format versions) go there.
  std::optional<bag_check::BagReader> reader;
  try {
    reader.emplace(bag_path);
  } catch (const bag_check::UnsupportedBag&) {
    return from_view(bag_path);
  } catch (const std::runtime_error& e) {
    BagAnalysisResult result;
    result.error_message = std::string(kOpenFailed) + e.what();
    return result;
  }
  // The chunk-info records count every message of each chunk per connection and give each
  // chunk's first and last time, which is all the inventory needs. Only an index that lists
  // every stored chunk counts them all; otherwise (and where the index section reads for the
  // bag reader but not as the bag library reads it) the chunks themselves are counted.
  if (reader->summary().index_complete) {
    const std::optional<BagIndex> index = read_bag_index(bag_path);
    if (index) return from_index(*index);
  }
  try {
    return from_chunks(*reader);
  } catch (const std::runtime_error& e) {
    BagAnalysisResult result;
    result.error_message = std::string(kOpenFailed) + e.what();
    return result;
  }
}

}  // namespace bag_analyzer
