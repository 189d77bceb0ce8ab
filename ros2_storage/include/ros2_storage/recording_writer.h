#pragma once

// Writing a ROS 2 recording: one MCAP file, one rosbag2 SQLite file, or a rosbag2 folder
// (metadata.yaml beside one storage file). Each storage is a writer of its own (mcap_writer,
// sqlite_writer); a folder wraps one of them. The output is atomic: it is written under a
// temporary name beside its path and takes that name only when close() succeeds, and an ending
// signal (SIGTERM, SIGINT, SIGHUP) leaves nothing behind.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ros2_storage/recording.h"

namespace ros2_storage {

// The tables of a rosbag2 SQLite file, which vary with the ROS release.
enum class SqliteLayout {
  topics_and_messages,  // topics (five columns) and messages, as Foxy to Humble write them
  with_definitions,     // also schema, metadata and message_definitions, and each topic's
                        // type_description_hash, as Iron and later write them
};

struct WriterOptions {
  Storage storage = Storage::mcap;
  // True: a rosbag2 folder at the path, holding metadata.yaml and one storage file named after
  // the folder ("<folder>_0.mcap"); false: the storage file alone.
  bool folder = false;
  // MCAP chunk compression: "" (records as they are) or "zstd". Ignored by SQLite.
  std::string compression;
  // An MCAP chunk is closed by the first message after which its records take more than this
  // many bytes; a larger message fills a chunk of its own.
  uint64_t chunk_size = 1024 * 1024;
  SqliteLayout sqlite_layout = SqliteLayout::with_definitions;
  // The text of the metadata.yaml of the recording the output is made from; empty when there
  // is none. Its version, ros_distro, custom_data and any keys the writer does not compute are
  // written back; counts, times, files and topics always describe the output.
  std::string source_metadata;
  // The ROS release the recording was made with (SQLite's schema table, the MCAP rosbag2
  // metadata record); empty: the one source_metadata names, if any.
  std::string ros_distro;
  // MCAP Metadata records to store as they are, in this order, before the "rosbag2" record the
  // writer adds to describe the file. Ignored by SQLite.
  std::vector<MetadataRecord> metadata;
};

// A recording being written. Not copyable; one thread at a time. Every failure throws
// std::runtime_error naming the output and the reason; after one, nothing more is written.
class RecordingWriter {
 public:
  virtual ~RecordingWriter() = default;
  RecordingWriter() = default;
  RecordingWriter(const RecordingWriter&) = delete;
  RecordingWriter& operator=(const RecordingWriter&) = delete;

  // Declares a channel with its topic, type, encodings, schema, QoS text and metadata, all
  // stored as given; returns the number write() takes. A channel without messages is still
  // listed.
  virtual uint32_t add_channel(const Channel& channel) = 0;
  // Stores one message of `channel` (a number add_channel returned). Messages are stored in
  // the order given; times are nanoseconds since the epoch.
  virtual void write(uint32_t channel, uint64_t log_time, uint64_t publish_time, uint32_t sequence,
                     const uint8_t* data, uint64_t size) = 0;
  // Completes the output (indexes, summary, metadata.yaml) and gives it its name. A writer
  // destroyed without close() leaves no output and an earlier one as it was.
  virtual void close() = 0;
};

// A writer of `options.storage` at `path`. Throws std::runtime_error when the output cannot be
// created (a missing or unwritable folder; a path that exists and cannot be replaced).
std::unique_ptr<RecordingWriter> create_writer(const std::string& path,
                                               const WriterOptions& options);

}  // namespace ros2_storage
