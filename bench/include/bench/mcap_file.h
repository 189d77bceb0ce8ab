#pragma once

// Large MCAP files for the benchmarks, written as they go: chunks of about a chunk size each
// (uncompressed or zstd), with or without the summary section (schemas, channels, statistics,
// chunk indexes). Bytes and records as the MCAP format describes them; no CRC is computed (0:
// "not computed"), no message index is written.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace drone_bench {

// The ros2msg definition text of livox_ros_driver2/msg/CustomMsg as rosbag2 stores it.
extern const char kLivoxFrameDefinition[];

// One Livox frame in little-endian CDR into `out`: header stamp `stamp_ns`, frame_id
// "livox_frame", timebase = the stamp, and `points` points from `xyz` (x, y, z a point), their
// offset times 10 us apart.
void livox_frame_cdr(uint64_t stamp_ns, const float* xyz, uint32_t points,
                     std::vector<uint8_t>& out);

// The floor of any reader of a ROS 2 recording: every record of the MCAP file at `path` read
// once, in order (fread), and every zstd chunk decompressed into one reused buffer; returns the
// bytes of the chunks' records. Throws std::runtime_error when the file does not read so.
uint64_t mcap_read_floor(const std::string& path);

class McapFile {
 public:
  struct Options {
    std::string compression;        // "" or "zstd"
    bool summary = true;            // false: the data section, an empty footer, the magic
    uint64_t chunk_size = 4 << 20;  // uncompressed bytes after which a chunk is closed
  };

  // Creates `path` and writes the magic and the header (profile "ros2"). Throws
  // std::runtime_error when the file cannot be written.
  McapFile(const std::string& path, const Options& options);
  ~McapFile();
  McapFile(const McapFile&) = delete;
  McapFile& operator=(const McapFile&) = delete;

  // A channel of `topic` with a ros2msg schema `type` / `definition`, messages in CDR; returns
  // its id. Channels are written into the next chunk.
  uint16_t add_channel(const std::string& topic, const std::string& type,
                       const std::string& definition);
  // One message, at log (and publish) time `log_time` ns; times must not go backwards.
  void write(uint16_t channel, uint64_t log_time, const uint8_t* data, size_t size);
  // Writes the last chunk, the summary (when asked for), the footer and the magic, and closes.
  void close();

 private:
  void flush_chunk();
  void put(const std::string& bytes);

  struct Channel {
    uint16_t id;
    std::string topic, type, definition;
    uint64_t messages = 0;
  };
  struct ChunkIndex {
    uint64_t start, end, offset, length, compressed, uncompressed;
  };

  Options options_;
  std::FILE* file_ = nullptr;
  uint64_t offset_ = 0;
  std::vector<Channel> channels_;
  size_t channels_written_ = 0;
  std::vector<ChunkIndex> chunks_;
  std::string chunk_;  // the records of the open chunk
  uint64_t chunk_start_ = 0, chunk_end_ = 0;
  uint64_t messages_ = 0, first_ = 0, last_ = 0;
  uint32_t sequence_ = 0;
  std::vector<char> compressed_;
};

}  // namespace drone_bench
