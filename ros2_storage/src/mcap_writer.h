#pragma once

// Writing one MCAP file with rosbag2's profile ("ros2"): header, chunks each followed by the
// message indexes of its messages, data end with the data section's CRC, then the summary
// (schemas, channels, statistics, metadata and chunk indexes, each group listed in the summary
// offsets) and the footer with the summary's CRC. A Metadata record named "rosbag2" describes
// the file as metadata.yaml would.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ros2_storage/recording.h"
#include "ros2_storage/recording_writer.h"
#include "rosbag2_metadata.h"

namespace ros2_storage {

// Where the file's bytes go (safe_output's temporary file, or a test's recorder).
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Appends `size` bytes; returns why that failed, or an empty text.
  virtual std::string append(const void* data, size_t size) = 0;
  // Makes the bytes the finished output; returns why that failed, or an empty text.
  virtual std::string commit() = 0;
};

// The output file at `path` under its temporary name; throws std::runtime_error
// ("cannot write output <path> (<reason>)") when it cannot be created.
std::unique_ptr<ByteSink> output_file_sink(const std::string& path);

// Memory: the chunk being filled (and its compressed form), the message index entries of that
// chunk (16 bytes a message), and a few dozen bytes per channel and per chunk written.
class McapWriter : public RecordingWriter {
 public:
  // `name` stands for the output in failure texts; `file_name` is the file's name in the
  // rosbag2 metadata record. Compression "" or "zstd"; anything else throws.
  McapWriter(std::unique_ptr<ByteSink> sink, std::string name, std::string file_name,
             const WriterOptions& options);
  ~McapWriter() override;

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
