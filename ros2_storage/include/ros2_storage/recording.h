#pragma once

// A ROS 2 recording, whatever stores it: one MCAP file, one rosbag2 SQLite file, or a rosbag2
// folder (metadata.yaml beside one or more storage files, read as one recording). The bag
// programs read every ROS 2 storage through this one interface; each storage is a reader of its
// own (mcap_reader, sqlite_reader) and a folder is read file after file.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bag_format/read_outcome.h"

namespace ros2_storage {

// What a path given as a recording holds, decided by content (a file's first bytes, a folder's
// metadata.yaml or its storage files), never by its name alone.
enum class InputKind {
  ros1_bag,        // a file starting "#ROSBAG V"
  mcap_file,       // a file starting with the MCAP magic
  sqlite_file,     // a file starting "SQLite format 3"
  rosbag2_folder,  // a folder with metadata.yaml, or with .mcap / .db3 storage files
  unknown,         // anything else
};

// The kind of `path`; for InputKind::unknown, `found` (when given) says what was found there in
// words fit for an error message ("a folder without metadata.yaml or storage files", "a file of
// 12 bytes that is neither a ROS 1 bag, an MCAP file nor a SQLite file", "nothing (No such file
// or directory)").
InputKind detect_input(const std::string& path, std::string* found = nullptr);

// The storage a recording's files use.
enum class Storage { mcap, sqlite };

// One topic of a recording as stored (an MCAP channel with its schema; a row of rosbag2's topics
// table). Channels of split files that agree on topic, type and encoding are one channel.
struct Channel {
  std::string topic;
  std::string type;                   // as recorded: "sensor_msgs/msg/Imu"
  std::string encoding;               // message encoding: "cdr"
  std::string schema_encoding;        // "ros2msg", "ros2idl", ...; empty when no schema is stored
  std::string schema;                 // the definition text as stored; empty when none
  std::string qos;                    // offered_qos_profiles text as stored; empty when none
  std::string type_description_hash;  // as stored (SQLite, MCAP channel metadata); or empty
  // MCAP channel metadata as stored, in stored order (rosbag2 keeps offered_qos_profiles there).
  std::vector<std::pair<std::string, std::string>> metadata;
};

// One message, valid during the call that hands it over.
struct Message {
  const Channel* channel = nullptr;  // points into Recording::channels()
  uint64_t log_time = 0;             // nanoseconds since the epoch
  uint64_t publish_time = 0;         // as stored; log_time where the storage keeps none
  uint32_t sequence = 0;             // as stored; 0 where the storage keeps none
  const uint8_t* data = nullptr;     // the serialised message
  uint64_t size = 0;
};

// Counts and times of a recording, per channel by its place in Recording::channels().
struct Inventory {
  std::vector<uint64_t> messages;
  uint64_t start = 0;  // log time of the earliest message, ns; 0 when there is none
  uint64_t end = 0;    // log time of the latest message, ns; 0 when there is none
};

// A Metadata record of an MCAP file: its name ("rosbag2" for the one the recorder adds) and its
// entries in stored order.
struct MetadataRecord {
  std::string name;
  std::vector<std::pair<std::string, std::string>> entries;
};

// What the files store about themselves besides channels and messages, for a writer that makes a
// recording of the same kind.
struct StoredInfo {
  std::string profile;  // the first MCAP file's header profile ("ros2"); empty for SQLite
  std::string library;  // the first MCAP file's header library; empty for SQLite
  // The Metadata records of the first MCAP file, in stored order; empty for SQLite.
  std::vector<MetadataRecord> metadata;
  // The first SQLite file's schema table (rosbag2's schema version and ROS release); 0 and
  // empty when it has none, and for MCAP.
  int64_t schema_version = 0;
  std::string ros_distro;
  std::string metadata_yaml;       // a folder's metadata.yaml as stored; empty when none
  std::vector<std::string> files;  // the storage files read, in reading order
};

// How a recording was read. recording_closed: every file ended as its writer ends it (an MCAP
// footer and end magic; a SQLite file without a -wal journal holding data). index_complete: the
// files' indexes (MCAP summary and chunk indexes) were used. unreadable_bytes: bytes at the end
// of a file cut short that hold no whole record.
using ReadOutcome = bag_format::ReadOutcome;

// A recording opened for reading. Not copyable; one thread at a time.
class Recording {
 public:
  virtual ~Recording() = default;
  Recording() = default;
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  virtual Storage storage() const = 0;
  // Every channel, in the order first stored.
  virtual const std::vector<Channel>& channels() const = 0;
  // Counts and times as the files state them (an MCAP Statistics record; SQLite's own count),
  // without reading a message; nullptr when they are not stated for every file.
  virtual const Inventory* stated_inventory() const = 0;
  // Counts and times known once the recording is open, without a read(): those stated, and for
  // an MCAP file whose summary is not used (none, damaged, or cut off) those of every whole
  // message the walk on opening found, which are what read() hands over of every channel unless
  // it refuses the file (a chunk CRC is checked by read() alone). nullptr when some file has
  // neither.
  virtual const Inventory* found_inventory() const { return nullptr; }
  // Calls on_message for every message of every channel that `wanted` accepts: file after file,
  // in each file by log time (equal times as stored). An MCAP file is read chunk by chunk, each
  // chunk's messages by log time, and messages outside chunks as stored: the time order of the
  // file wherever its chunks do not overlap in time, as recorders write them (like the ROS 1
  // reader, a caller that needs the order across overlapping chunks sorts what it keeps).
  // on_progress, when given, gets the share of the recording's bytes done, ending with 1. Every
  // fault is a std::runtime_error whose text names it and where it lies (file, byte position);
  // exceptions of the callbacks pass unchanged. Memory: a fixed budget plus the largest message
  // (an MCAP chunk too large to hold is read from the file or a scratch file, see mcap_reader.h).
  virtual ReadOutcome read(const std::function<bool(const Channel&)>& wanted,
                           const std::function<void(const Message&)>& on_message,
                           const std::function<void(double)>& on_progress = {}) = 0;
  // What opening found (recording_closed, index_complete, unreadable_bytes known so far).
  virtual const ReadOutcome& outcome() const = 0;
  // The header, metadata records and file list of the recording.
  virtual const StoredInfo& stored() const = 0;
};

// Opens the MCAP file, SQLite file or rosbag2 folder at `path`. Throws std::runtime_error with
// the reason (a ROS 1 bag or anything unknown is refused: the caller decides by detect_input).
std::unique_ptr<Recording> open_recording(const std::string& path);

}  // namespace ros2_storage
