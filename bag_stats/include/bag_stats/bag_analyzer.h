#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bag_format/read_outcome.h"

namespace bag_analyzer {

// The statistics of one topic of a bag.
struct TopicInfo {
  // Topic name exactly as stored in the bag (never empty for a topic that has messages).
  std::string name;
  // Number of messages on this topic, summed over every connection that carries it.
  uint32_t message_count = 0;
  // ROS message type name of the topic's connection; when several connections carry the topic,
  // that of the one with the highest connection id. Empty when that connection records no type.
  std::string msg_type;
};

// The statistics of one bag or ROS 2 recording.
struct BagAnalysisResult {
  // One entry per topic with at least one message, ascending by name in byte order.
  // Empty when the bag holds no message or could not be opened.
  std::vector<TopicInfo> topics;
  // Number of messages over all topics; 0 for a bag without messages.
  uint32_t total_messages = 0;
  // end_time - start_time in seconds, not clamped; 0 when no message was counted.
  double duration = 0.0;
  // Receive time of the earliest message, seconds since the epoch (0 also when a message is
  // stamped at time 0); 0 when no message was counted.
  double start_time = 0.0;
  // Receive time of the latest message, seconds since the epoch; 0 when no message was counted.
  double end_time = 0.0;
  // True when the bag's index was read to its end, or, for a recording that was not closed, its
  // chunks were walked to the end of the file.
  bool success = false;
  // How the bag was read: through its index, or, for a recording that was not closed or an
  // index that leaves stored chunks out, from its chunks. (An index that lists a chunk where
  // none is stored is refused.)
  bag_format::ReadOutcome read;
  // Why the bag could not be opened: "无法打开 bag 文件: " + the bag library's text, or + what
  // is damaged when a record would make the bag library read out of bounds; empty on success.
  std::string error_message;
};

// Groups the one analysis operation; holds no state.
class BagAnalyzer {
 public:
  // Counts the messages of every topic of the bag at `bag_path` from the bag's index section
  // alone (its connection records and the per-connection counts and times of its chunk-info
  // records), as `rosbag info` does, once the bag reader (bag_format::BagReader) has walked the
  // record headers of the chunk section and found that the index lists every stored chunk: no
  // message is read, but every chunk is searched for connection records and a chunk that holds
  // one is checked as the converter and the lidar check check it. Messages stamped at time 0
  // are counted like any other. Otherwise the messages are counted from the chunks themselves,
  // as the converter and the lidar check read them: a recording that was not closed (no index,
  // an index cut off or one whose section does not read; read.recording_closed false), where
  // every whole chunk counts and so do the whole records of a plain chunk cut short; an index
  // that leaves stored chunks out (read.index_complete false). Damage the bag reader refuses (an
  // index that lists a chunk where the file stores none, bytes between chunks that are no record, a
  // chunk that does not decompress, a connection defined again with another topic or type) gives
  // success == false with its text. A file in another format than version 2.0 is left to the bag
  // library, which opens it and counts it from its index entries, or refuses it. A bag that cannot
  // be opened (missing, unreadable, not a bag, or records damaged so that the bag library would
  // read out of bounds) gives success == false with error_message set and every other field at its
  // default. Once the bag library has opened a bag, any exception of it (a damaged chunk or index
  // found later) leaves this operation unchanged; the bag is closed on every path.
  //
  // A ROS 2 recording (an MCAP file, a rosbag2 SQLite file or a rosbag2 folder, recognised by
  // content: ros2_storage::detect_input) is read through ros2_storage::open_recording instead:
  // its channels take the place of connections (numbered in the order first stored, types as
  // recorded, "sensor_msgs/msg/Imu"), counts and times come from what the files state (an MCAP
  // summary's Statistics record, SQLite's count) without reading a message where every file
  // states them, and from every message otherwise; `read` is the recording's outcome (a file
  // that did not end was walked from its start, recording_closed false). Every fault of the
  // files gives success == false and "无法打开 bag 文件: " + the reader's text. Anything that is
  // neither a ROS 2 recording nor a ROS 1 bag is refused as a ROS 1 bag that does not read.
  // Writes nothing and prints nothing.
  static BagAnalysisResult analyze(const std::string& bag_path);
};

}  // namespace bag_analyzer
