#include "bag_stats/bag_analyzer.h"

#include <ros/time.h>
#include <rosbag/bag.h>
#include <rosbag/view.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bag_format/bag_reader.h"
#include "ros2_storage/recording.h"

namespace bag_analyzer {

namespace {

const char kOpenFailed[] = "无法打开 bag 文件: ";

// A stored time in seconds, as ros::Time::toSec converts it.
double seconds(uint32_t sec, uint32_t nsec) {
  return static_cast<double>(sec) + 1e-9 * static_cast<double>(nsec);
}

// A ROS 2 time (nanoseconds) in seconds, converted as a ROS 1 time of the same instant.
double seconds(uint64_t ns) {
  constexpr uint64_t kBillion = 1000000000;
  const uint64_t whole = ns / kBillion;
  return static_cast<double>(whole) + 1e-9 * static_cast<double>(ns % kBillion);
}

// One connection of a bag with its message count.
struct ConnectionCount {
  uint32_t id;
  const std::string* topic;
  const std::string* type;
  uint64_t messages;
};

// The topics with messages in byte-wise order of their names, each counted over its connections
// and taking the type of the one with the highest id, as a view over the whole bag lists them.
BagAnalysisResult inventory(std::vector<ConnectionCount> connections) {
  std::sort(connections.begin(), connections.end(),
            [](const ConnectionCount& a, const ConnectionCount& b) { return a.id < b.id; });
  struct Topic {
    uint32_t count = 0;  // 32 bits, as the message walk counts
    const std::string* type = nullptr;
  };
  std::map<std::string, Topic> topics;  // byte-wise order of std::string comparison
  uint32_t total = 0;
  for (const ConnectionCount& c : connections) {
    const uint32_t messages = static_cast<uint32_t>(c.messages);
    if (messages == 0) continue;
    Topic& topic = topics[*c.topic];
    topic.count += messages;
    topic.type = c.type;
    total += messages;
  }
  BagAnalysisResult result;
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

// The connections of `reader`, each with `count(i)` for its place i in connections().
template <class Count>
BagAnalysisResult inventory(const bag_format::BagReader& reader, const Count& count) {
  const std::vector<bag_format::ReaderConnection>& connections = reader.connections();
  std::vector<ConnectionCount> counted;
  counted.reserve(connections.size());
  for (size_t i = 0; i < connections.size(); ++i) {
    counted.push_back({connections[i].id, &connections[i].topic, &connections[i].datatype,
                       static_cast<uint64_t>(count(i))});
  }
  return inventory(std::move(counted));
}

// The inventory from the index section alone: a topic is listed when a chunk-info record counts
// a message for one of its connections.
BagAnalysisResult from_index(const bag_format::BagReader& reader,
                             const bag_format::IndexCounts& counts) {
  BagAnalysisResult result = inventory(reader, [&](size_t i) { return counts.messages[i]; });
  if (!result.topics.empty()) {
    result.start_time = seconds(counts.start_sec, counts.start_nsec);
    result.end_time = seconds(counts.end_sec, counts.end_nsec);
    result.duration = result.end_time - result.start_time;
  }
  return result;
}

// The inventory from the chunks themselves, read by `reader`: every message of every chunk,
// those stamped at time 0 included, as the chunk-info records count them.
BagAnalysisResult from_chunks(bag_format::BagReader& reader) {
  const std::vector<bag_format::ReaderConnection>& connections = reader.connections();
  std::vector<uint32_t> per_connection(connections.size());
  uint64_t first = std::numeric_limits<uint64_t>::max();
  uint64_t last = 0;
  const bag_format::ReadSummary summary =
      reader.read([](const bag_format::ReaderConnection&) { return true; },
                  [&](const bag_format::ReaderMessage& m) {
                    ++per_connection[static_cast<size_t>(m.connection - connections.data())];
                    const uint64_t time = (uint64_t{m.sec} << 32) | m.nsec;
                    first = std::min(first, time);
                    last = std::max(last, time);
                  },
                  {}, true);
  BagAnalysisResult result = inventory(reader, [&](size_t i) { return per_connection[i]; });
  if (result.total_messages > 0) {
    result.start_time = seconds(static_cast<uint32_t>(first >> 32), static_cast<uint32_t>(first));
    result.end_time = seconds(static_cast<uint32_t>(last >> 32), static_cast<uint32_t>(last));
    result.duration = result.end_time - result.start_time;
  }
  result.read = summary;
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

  // Iterating the view walks the in-memory index; a message instance only points at its index
  // entry and connection, and its payload is never instantiated. getTopic() refers to the topic
  // string of the message's connection, which lives as long as the bag, so each connection's
  // messages are counted by that string's address.
  std::unordered_map<const std::string*, uint32_t> per_connection;
  for (rosbag::View::iterator it = view.begin(); it != view.end(); ++it) {
    ++per_connection[&it->getTopic()];
  }
  std::vector<ConnectionCount> counted;
  for (const rosbag::ConnectionInfo* connection : view.getConnections()) {
    const auto found = per_connection.find(&connection->topic);
    counted.push_back({connection->id, &connection->topic, &connection->datatype,
                       found == per_connection.end() ? 0 : found->second});
  }
  result = inventory(std::move(counted));

  // An empty selection has begin = ros::TIME_MAX and end = ros::TIME_MIN in the bag library,
  // whose difference (about -4.3e9 s) describes no recording; a bag without messages reports
  // all three times as 0.
  if (result.total_messages > 0) {
    result.start_time = view.getBeginTime().toSec();
    result.end_time = view.getEndTime().toSec();
    result.duration = result.end_time - result.start_time;
  }
  bag.close();
  return result;
}

// The inventory of a ROS 2 recording, without reading a message where the files allow: the counts
// and times they state (an MCAP summary's Statistics record, SQLite's own count), or, for an MCAP
// file whose summary is not used, those of the whole messages its walk on opening found (as the
// index path of a ROS 1 bag, chunk CRCs are then not checked); otherwise from every message,
// read once. Channels take the place of connections,
// numbered in the order first stored.
// Throws std::runtime_error for every fault of the files.
BagAnalysisResult from_recording(const std::string& path) {
  const std::unique_ptr<ros2_storage::Recording> recording = ros2_storage::open_recording(path);
  const std::vector<ros2_storage::Channel>& channels = recording->channels();
  const auto counted = [&](const std::vector<uint64_t>& messages) {
    std::vector<ConnectionCount> out;
    out.reserve(channels.size());
    for (size_t i = 0; i < channels.size(); ++i) {
      out.push_back({static_cast<uint32_t>(i), &channels[i].topic, &channels[i].type,
                     i < messages.size() ? messages[i] : 0});
    }
    return out;
  };
  ros2_storage::Inventory read_inventory;
  const ros2_storage::Inventory* inventory_used = recording->found_inventory();
  bag_format::ReadOutcome outcome = recording->outcome();
  if (inventory_used == nullptr) {
    read_inventory.messages.assign(channels.size(), 0);
    uint64_t first = std::numeric_limits<uint64_t>::max();
    uint64_t last = 0;
    outcome = recording->read(
        [](const ros2_storage::Channel&) { return true; },
        [&](const ros2_storage::Message& m) {
          ++read_inventory.messages[static_cast<size_t>(m.channel - channels.data())];
          first = std::min(first, m.log_time);
          last = std::max(last, m.log_time);
        });
    if (last >= first) {
      read_inventory.start = first;
      read_inventory.end = last;
    }
    inventory_used = &read_inventory;
  }
  BagAnalysisResult result = inventory(counted(inventory_used->messages));
  if (result.total_messages > 0) {
    result.start_time = seconds(inventory_used->start);
    result.end_time = seconds(inventory_used->end);
    result.duration = result.end_time - result.start_time;
  }
  result.read = outcome;
  return result;
}

}  // namespace

BagAnalysisResult BagAnalyzer::analyze(const std::string& bag_path) {
  // ROS 2 recordings, recognised by content, go through their storage's reader; everything else
  // is read as a ROS 1 bag, and refused as one when it is none.
  switch (ros2_storage::detect_input(bag_path)) {
    case ros2_storage::InputKind::mcap_file:
    case ros2_storage::InputKind::sqlite_file:
    case ros2_storage::InputKind::rosbag2_folder:
      try {
        return from_recording(bag_path);
      } catch (const std::runtime_error& e) {
        BagAnalysisResult result;
        result.error_message = std::string(kOpenFailed) + e.what();
        return result;
      }
    case ros2_storage::InputKind::ros1_bag:
    case ros2_storage::InputKind::unknown:
      break;
  }
  // The bag reader walks the record headers of the chunk section and decides whether the index
  // lists exactly the stored chunks (index_complete), whether the recording was closed at all,
  // and refuses damage such as an index that lists a chunk where none is stored. Files it
  // leaves to the bag library (other format versions) go there.
  std::optional<bag_format::BagReader> reader;
  try {
    reader.emplace(bag_path);
  } catch (const bag_format::UnsupportedBag&) {
    return from_view(bag_path);
  } catch (const std::runtime_error& e) {
    BagAnalysisResult result;
    result.error_message = std::string(kOpenFailed) + e.what();
    return result;
  }
  // The chunk-info records count every message of each chunk per connection and give each
  // chunk's first and last time, which is all the inventory needs. Only an index that lists
  // every stored chunk counts them all; otherwise the chunks themselves are counted.
  const bag_format::IndexCounts* counts = reader->index_counts();
  try {
    if (counts != nullptr && reader->summary().index_complete) {
      // No message is read, but every chunk's records are walked for the connections they
      // define: one that gives a connection id another topic or type is refused here as by the
      // programs that read the messages.
      reader->read([](const bag_format::ReaderConnection&) { return false; },
                   [](const bag_format::ReaderMessage&) {});
      return from_index(*reader, *counts);
    }
    return from_chunks(*reader);
  } catch (const std::runtime_error& e) {
    BagAnalysisResult result;
    result.error_message = std::string(kOpenFailed) + e.what();
    return result;
  }
}

}  // namespace bag_analyzer
