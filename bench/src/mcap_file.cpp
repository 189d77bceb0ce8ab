#include "bench/mcap_file.h"

#include <zstd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

namespace drone_bench {
namespace {

const char kMagic[] = "\x89MCAP0\r\n";

void put_int(std::string& out, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

void put_string(std::string& out, const std::string& s) {
  put_int(out, s.size(), 4);
  out += s;
}

std::string record(uint8_t op, const std::string& body) {
  std::string out(1, static_cast<char>(op));
  put_int(out, body.size(), 8);
  return out + body;
}

}  // namespace

const char kLivoxFrameDefinition[] =
    "std_msgs/Header header\nuint64 timebase\nuint32 point_num\nuint8 lidar_id\nuint8[3] rsvd\n"
    "CustomPoint[] points\n"
    "================================================================================\n"
    "MSG: std_msgs/Header\nbuiltin_interfaces/Time stamp\nstring frame_id\n"
    "================================================================================\n"
    "MSG: builtin_interfaces/Time\nint32 sec\nuint32 nanosec\n"
    "================================================================================\n"
    "MSG: livox_ros_driver2/CustomPoint\nuint32 offset_time\nfloat32 x\nfloat32 y\n"
    "float32 z\nuint8 reflectivity\nuint8 tag\nuint8 line\n";

void livox_frame_cdr(uint64_t stamp_ns, const float* xyz, uint32_t points,
                     std::vector<uint8_t>& out) {
  // Encapsulation 00 01; stamp at stream 0; frame_id "livox_frame" (12 bytes with its NUL) from
  // stream 8 to 24; timebase at 24; point_num, lidar_id, rsvd, the count; points from stream 44.
  std::string b("\x00\x01\x00\x00", 4);
  put_int(b, stamp_ns / 1000000000, 4);
  put_int(b, stamp_ns % 1000000000, 4);
  put_string(b, std::string("livox_frame") + '\0');
  put_int(b, stamp_ns, 8);
  put_int(b, points, 4);
  b += std::string("\x01\x00\x00\x00", 4);
  put_int(b, points, 4);
  out.assign(b.begin(), b.end());
  out.resize(b.size() + (points == 0 ? 0 : points * 20 - 1));
  for (uint32_t i = 0; i < points; ++i) {
    uint8_t* p = out.data() + b.size() + static_cast<size_t>(i) * 20;
    const uint32_t offset = i * 10000;
    std::memcpy(p, &offset, 4);
    std::memcpy(p + 4, xyz + 3 * static_cast<size_t>(i), 12);
    p[16] = 100;
    p[17] = 0;
    p[18] = static_cast<uint8_t>(i % 6);
  }
  const size_t pad = (4 - out.size() % 4) % 4;
  out.resize(out.size() + pad);
  out[3] = static_cast<uint8_t>(pad);
}

McapFile::McapFile(const std::string& path, const Options& options) : options_(options) {
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) throw std::runtime_error("cannot write " + path);
  put(std::string(kMagic, 8));
  std::string header;
  put_string(header, "ros2");
  put_string(header, "drone_bench");
  put(record(0x01, header));
}

McapFile::~McapFile() {
  if (file_ != nullptr) std::fclose(file_);
}

uint16_t McapFile::add_channel(const std::string& topic, const std::string& type,
                               const std::string& definition) {
  const auto id = static_cast<uint16_t>(channels_.size() + 1);
  channels_.push_back({id, topic, type, definition});
  return id;
}

namespace {

std::string schema_record(uint16_t id, const std::string& type, const std::string& definition) {
  std::string body;
  put_int(body, id, 2);
  put_string(body, type);
  put_string(body, "ros2msg");
  put_string(body, definition);
  return record(0x03, body);
}

std::string channel_record(uint16_t id, const std::string& topic) {
  std::string body;
  put_int(body, id, 2);
  put_int(body, id, 2);  // its schema has the channel's id
  put_string(body, topic);
  put_string(body, "cdr");
  put_int(body, 0, 4);  // no metadata
  return record(0x04, body);
}

}  // namespace

void McapFile::write(uint16_t channel, uint64_t log_time, const uint8_t* data, size_t size) {
  if (chunk_.empty()) chunk_start_ = log_time;
  for (; channels_written_ < channels_.size(); ++channels_written_) {
    const Channel& c = channels_[channels_written_];
    chunk_ += schema_record(c.id, c.type, c.definition);
    chunk_ += channel_record(c.id, c.topic);
  }
  chunk_.push_back(0x05);
  put_int(chunk_, 2 + 4 + 8 + 8 + size, 8);
  put_int(chunk_, channel, 2);
  put_int(chunk_, ++sequence_, 4);
  put_int(chunk_, log_time, 8);
  put_int(chunk_, log_time, 8);
  chunk_.append(reinterpret_cast<const char*>(data), size);
  chunk_end_ = log_time;
  if (messages_++ == 0) first_ = log_time;
  last_ = log_time;
  ++channels_[channel - 1].messages;
  if (chunk_.size() >= options_.chunk_size) flush_chunk();
}

void McapFile::flush_chunk() {
  if (chunk_.empty()) return;
  const std::string* records = &chunk_;
  std::string packed;
  if (options_.compression == "zstd") {
    compressed_.resize(ZSTD_compressBound(chunk_.size()));
    const size_t n =
        ZSTD_compress(compressed_.data(), compressed_.size(), chunk_.data(), chunk_.size(), 1);
    if (ZSTD_isError(n) != 0) throw std::runtime_error("zstd cannot compress a chunk");
    packed.assign(compressed_.data(), n);
    records = &packed;
  }
  std::string body;
  put_int(body, chunk_start_, 8);
  put_int(body, chunk_end_, 8);
  put_int(body, chunk_.size(), 8);
  put_int(body, 0, 4);  // CRC not computed
  put_string(body, options_.compression);
  put_int(body, records->size(), 8);
  body += *records;
  const uint64_t at = offset_;
  put(record(0x06, body));
  chunks_.push_back({chunk_start_, chunk_end_, at, offset_ - at, records->size(), chunk_.size()});
  chunk_.clear();
}

void McapFile::close() {
  flush_chunk();
  std::string data_end;
  put_int(data_end, 0, 4);
  put(record(0x0F, data_end));
  uint64_t summary_start = 0;
  if (options_.summary) {
    summary_start = offset_;
    std::string summary;
    for (const Channel& c : channels_) {
      summary += schema_record(c.id, c.type, c.definition);
      summary += channel_record(c.id, c.topic);
    }
    std::string stats;
    put_int(stats, messages_, 8);
    put_int(stats, channels_.size(), 2);
    put_int(stats, channels_.size(), 4);
    put_int(stats, 0, 4);
    put_int(stats, 0, 4);
    put_int(stats, chunks_.size(), 4);
    put_int(stats, first_, 8);
    put_int(stats, last_, 8);
    put_int(stats, channels_.size() * 10, 4);
    for (const Channel& c : channels_) {
      put_int(stats, c.id, 2);
      put_int(stats, c.messages, 8);
    }
    summary += record(0x0B, stats);
    for (const ChunkIndex& c : chunks_) {
      std::string index;
      put_int(index, c.start, 8);
      put_int(index, c.end, 8);
      put_int(index, c.offset, 8);
      put_int(index, c.length, 8);
      put_int(index, 0, 4);  // no message indexes
      put_int(index, 0, 8);
      put_string(index, options_.compression);
      put_int(index, c.compressed, 8);
      put_int(index, c.uncompressed, 8);
      summary += record(0x08, index);
    }
    put(summary);
  }
  std::string footer;
  put_int(footer, summary_start, 8);
  put_int(footer, 0, 8);  // no summary offsets
  put_int(footer, 0, 4);  // CRC not computed
  put(record(0x02, footer));
  put(std::string(kMagic, 8));
  if (std::fclose(file_) != 0) {
    file_ = nullptr;
    throw std::runtime_error("the MCAP file cannot be written");
  }
  file_ = nullptr;
}

void McapFile::put(const std::string& bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
    throw std::runtime_error("the MCAP file cannot be written");
  }
  offset_ += bytes.size();
}

uint64_t mcap_read_floor(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) throw std::runtime_error("cannot open " + path);
  std::vector<char> body;
  std::vector<char> records;
  uint64_t out = 0;
  char magic[8];
  bool ok = std::fread(magic, 1, 8, f) == 8;
  while (ok) {
    unsigned char head[9];
    if (std::fread(head, 1, 9, f) != 9) break;
    uint64_t length = 0;
    for (int i = 8; i >= 1; --i) length = length << 8 | head[i];
    body.resize(length);
    ok = std::fread(body.data(), 1, length, f) == length;
    if (!ok || head[0] == 0x02) break;  // the footer
    if (head[0] != 0x06) continue;
    uint64_t size = 0;
    std::memcpy(&size, body.data() + 16, 8);
    uint32_t name = 0;
    std::memcpy(&name, body.data() + 28, 4);
    const char* data = body.data() + 32 + name + 8;
    const size_t stored = body.size() - (32 + name + 8);
    if (name == 4) {
      records.resize(size);
      if (ZSTD_isError(ZSTD_decompress(records.data(), size, data, stored)) != 0) ok = false;
    }
    out += size;
  }
  std::fclose(f);
  if (!ok) throw std::runtime_error(path + " does not read");
  return out;
}

}  // namespace drone_bench
