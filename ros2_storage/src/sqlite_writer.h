#pragma once

// Writing one rosbag2 SQLite file through libsqlite3: the topics and messages tables (and, in
// the newer layout, schema, metadata and message_definitions), messages inserted in
// transactions of a few tens of megabytes, the timestamp index built once they are all in.

#include <cstdint>
#include <memory>
#include <string>

#include "ros2_storage/recording_writer.h"
#include "rosbag2_metadata.h"

namespace ros2_storage {

// Memory: SQLite's page cache and one transaction's journal, whatever the file's size.
class SqliteWriter : public RecordingWriter {
 public:
  // Writes through safe_output's temporary file beside `path`. `file_name` is the file's name
  // in the metadata it stores. Throws when the file cannot be created.
  SqliteWriter(const std::string& path, std::string file_name, const WriterOptions& options);
  ~SqliteWriter() override;

  uint32_t add_channel(const Channel& channel) override;
  void write(uint32_t channel, uint64_t log_time, uint64_t publish_time, uint32_t sequence,
             const uint8_t* data, uint64_t size) override;
  void close() override;

  // What the file holds once closed, for the folder's metadata.yaml.
  const BagInformation& information() const { return information_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  BagInformation information_;
};

}  // namespace ros2_storage
