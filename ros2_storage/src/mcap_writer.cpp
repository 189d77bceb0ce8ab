#include "mcap_writer.h"

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <limits>
#include <map>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "safe_output/output_file.h"

namespace ros2_storage {

namespace {

constexpr char kMagic[] = "\x89MCAP0\r\n";
constexpr size_t kMagicSize = 8;
constexpr char kProfile[] = "ros2";
constexpr char kLibrary[] = "drone_tasks";

enum Opcode : uint8_t {
  kHeader = 0x01,
  kFooter = 0x02,
  kSchema = 0x03,
  kChannel = 0x04,
  kMessage = 0x05,
  kChunk = 0x06,
  kMessageIndex = 0x07,
  kChunkIndex = 0x08,
  kStatistics = 0x0B,
  kMetadata = 0x0C,
  kMetadataIndex = 0x0D,
  kSummaryOffset = 0x0E,
  kDataEnd = 0x0F,
};

// Little-endian fields appended to a record body, as MCAP stores them.
template <typename T>
void put(std::string& out, T value) {
  char bytes[sizeof(T)];
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  out.append(bytes, sizeof(T));
}
void put_string(std::string& out, const std::string& text) {
  put<uint32_t>(out, static_cast<uint32_t>(text.size()));
  out += text;
}
void put_map(std::string& out, const std::vector<std::pair<std::string, std::string>>& entries) {
  uint64_t bytes = 0;
  for (const auto& [key, value] : entries) bytes += 8 + key.size() + value.size();
  put<uint32_t>(out, static_cast<uint32_t>(bytes));
  for (const auto& [key, value] : entries) {
    put_string(out, key);
    put_string(out, value);
  }
}
// A whole record: opcode, body length, body.
std::string record(Opcode opcode, const std::string& body) {
  std::string out;
  out.reserve(9 + body.size());
  put<uint8_t>(out, opcode);
  put<uint64_t>(out, body.size());
  out += body;
  return out;
}

class FileSink : public ByteSink {
 public:
  explicit FileSink(const std::string& path) : file_(path) {
    const std::string error = file_.open();
    if (!error.empty())
      throw std::runtime_error("cannot write output " + path + " (" + error + ")");
  }
  std::string append(const void* data, size_t size) override { return file_.write(data, size); }
  std::string commit() override { return file_.commit(); }

 private:
  safe_output::OutputFile file_;
};

struct ChannelEntry {
  uint16_t schema_id;
  Channel channel;
  uint64_t messages = 0;
  std::vector<std::pair<uint64_t, uint64_t>> index;  // this chunk's (log time, offset)
};

struct ChunkIndexEntry {
  uint64_t start;
  uint64_t end;
  uint64_t offset;
  uint64_t length;
  std::vector<std::pair<uint16_t, uint64_t>> message_indexes;  // channel -> record offset
  uint64_t message_index_length;
  uint64_t compressed_size;
  uint64_t uncompressed_size;
};

}  // namespace

std::unique_ptr<ByteSink> output_file_sink(const std::string& path) {
  return std::make_unique<FileSink>(path);
}

struct McapWriter::Impl {
  std::unique_ptr<ByteSink> sink;
  std::string name;
  std::string file_name;
  WriterOptions options;
  std::string failure;  // the first failure; every later call repeats it
  bool closed = false;

  uint64_t position = 0;  // bytes handed to the sink
  uLong data_crc = crc32(0L, Z_NULL, 0);
  bool in_data = true;  // the data section's CRC still runs
  uLong summary_crc = crc32(0L, Z_NULL, 0);
  bool in_summary = false;

  std::map<std::tuple<std::string, std::string, std::string>, uint16_t> schema_ids;
  std::vector<std::string> schema_records;  // for the summary, by id - 1
  std::vector<ChannelEntry> channels;
  std::vector<std::string> channel_records;

  std::string chunk;  // records of the chunk being filled
  uint64_t chunk_start = 0;
  uint64_t chunk_end = 0;
  bool chunk_has_messages = false;
  std::vector<uint16_t> chunk_channels;  // channels with messages in it, in first-message order
  std::string compressed;
  ZSTD_CCtx* zstd = nullptr;

  std::vector<ChunkIndexEntry> chunk_indexes;
  uint64_t messages = 0;
  uint64_t start = 0;
  uint64_t end = 0;

  ~Impl() { ZSTD_freeCCtx(zstd); }

  [[noreturn]] void fail(const std::string& reason) {
    failure = "cannot write output " + name + " (" + reason + ")";
    throw std::runtime_error(failure);
  }
  void check() const {
    if (!failure.empty()) throw std::runtime_error(failure);
    if (closed) throw std::runtime_error("output " + name + " is already closed");
  }

  void emit(const void* data, size_t size) {
    if (in_data) data_crc = crc32_z(data_crc, static_cast<const Bytef*>(data), size);
    if (in_summary) summary_crc = crc32_z(summary_crc, static_cast<const Bytef*>(data), size);
    const std::string error = sink->append(data, size);
    if (!error.empty()) fail(error);
    position += size;
  }
  void emit(const std::string& bytes) { emit(bytes.data(), bytes.size()); }
  // Emits bytes of the data section whose own CRC is known, which then extends the section's
  // CRC without a second pass over them.
  void emit_with_crc(const std::string& bytes, uLong crc) {
    if (!in_data || in_summary) {
      emit(bytes);
      return;
    }
    in_data = false;
    emit(bytes);
    in_data = true;
    data_crc = crc32_combine(data_crc, crc, static_cast<z_off_t>(bytes.size()));
  }

  void flush_chunk() {
    if (chunk.empty()) return;
    const uLong chunk_crc =
        crc32_z(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(chunk.data()), chunk.size());
    const std::string* stored = &chunk;
    if (options.compression == "zstd") {
      compressed.resize(ZSTD_compressBound(chunk.size()));
      const size_t n =
          ZSTD_compress2(zstd, compressed.data(), compressed.size(), chunk.data(), chunk.size());
      if (ZSTD_isError(n)) fail(std::string("zstd: ") + ZSTD_getErrorName(n));
      compressed.resize(n);
      stored = &compressed;
    }
    ChunkIndexEntry entry{};
    entry.start = chunk_has_messages ? chunk_start : 0;
    entry.end = chunk_has_messages ? chunk_end : 0;
    entry.offset = position;
    entry.compressed_size = stored->size();
    entry.uncompressed_size = chunk.size();
    std::string head;
    put<uint8_t>(head, kChunk);
    put<uint64_t>(head, 8 + 8 + 8 + 4 + 4 + options.compression.size() + 8 + stored->size());
    put<uint64_t>(head, entry.start);
    put<uint64_t>(head, entry.end);
    put<uint64_t>(head, chunk.size());
    put<uint32_t>(head, static_cast<uint32_t>(chunk_crc));
    put_string(head, options.compression);
    put<uint64_t>(head, stored->size());
    emit(head);
    if (stored == &chunk) {
      emit_with_crc(chunk, chunk_crc);
    } else {
      emit(*stored);
    }
    entry.length = position - entry.offset;

    // One message index a channel, in channel order, its entries in log time order.
    std::sort(chunk_channels.begin(), chunk_channels.end());
    const uint64_t indexes_start = position;
    for (const uint16_t id : chunk_channels) {
      auto& index = channels[id].index;
      std::stable_sort(index.begin(), index.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      std::string body;
      put<uint16_t>(body, id);
      put<uint32_t>(body, static_cast<uint32_t>(index.size() * 16));
      for (const auto& [time, offset] : index) {
        put<uint64_t>(body, time);
        put<uint64_t>(body, offset);
      }
      entry.message_indexes.emplace_back(id, position);
      emit(record(kMessageIndex, body));
      index.clear();
    }
    entry.message_index_length = position - indexes_start;
    chunk_indexes.push_back(std::move(entry));
    chunk.clear();
    chunk_channels.clear();
    chunk_has_messages = false;
  }
};

McapWriter::McapWriter(std::unique_ptr<ByteSink> sink, std::string name, std::string file_name,
                       const WriterOptions& options)
    : impl_(std::make_unique<Impl>()) {
  Impl& w = *impl_;
  w.sink = std::move(sink);
  w.name = std::move(name);
  w.file_name = std::move(file_name);
  w.options = options;
  if (options.compression == "zstd") {
    w.zstd = ZSTD_createCCtx();
    if (w.zstd == nullptr) w.fail("zstd: no memory for a compression context");
    ZSTD_CCtx_setParameter(w.zstd, ZSTD_c_compressionLevel, 1);
  } else if (!options.compression.empty()) {
    w.fail("unknown chunk compression \"" + options.compression + "\"");
  }
  information_.storage_identifier = "mcap";
  w.emit(kMagic, kMagicSize);
  std::string header;
  put_string(header, kProfile);
  put_string(header, kLibrary);
  w.emit(record(kHeader, header));
}

McapWriter::~McapWriter() = default;

uint32_t McapWriter::add_channel(const Channel& channel) {
  Impl& w = *impl_;
  w.check();
  if (w.channels.size() > std::numeric_limits<uint16_t>::max()) {
    w.fail("more than 65536 channels");
  }
  // The type name lives in the schema record, so a channel whose definition was not stored
  // still gets one, with an empty encoding and no data ("no schema available"), to keep it.
  uint16_t schema_id = 0;
  if (!channel.type.empty() || !channel.schema_encoding.empty() || !channel.schema.empty()) {
    const auto key = std::make_tuple(channel.type, channel.schema_encoding, channel.schema);
    const auto found = w.schema_ids.find(key);
    if (found != w.schema_ids.end()) {
      schema_id = found->second;
    } else {
      if (w.schema_records.size() >= std::numeric_limits<uint16_t>::max()) {
        w.fail("more than 65535 schemas");
      }
      schema_id = static_cast<uint16_t>(w.schema_records.size() + 1);
      std::string body;
      put<uint16_t>(body, schema_id);
      put_string(body, channel.type);
      put_string(body, channel.schema_encoding);
      put_string(body, channel.schema);
      w.schema_records.push_back(record(kSchema, body));
      w.chunk += w.schema_records.back();
      w.schema_ids.emplace(key, schema_id);
    }
  }
  const auto id = static_cast<uint16_t>(w.channels.size());
  std::string body;
  put<uint16_t>(body, id);
  put<uint16_t>(body, schema_id);
  put_string(body, channel.topic);
  put_string(body, channel.encoding);
  put_map(body, channel.metadata);
  w.channel_records.push_back(record(kChannel, body));
  w.chunk += w.channel_records.back();
  w.channels.push_back({schema_id, channel, 0, {}});
  return id;
}

void McapWriter::write(uint32_t channel, uint64_t log_time, uint64_t publish_time,
                       uint32_t sequence, const uint8_t* data, uint64_t size) {
  Impl& w = *impl_;
  w.check();
  if (channel >= w.channels.size()) w.fail("no channel " + std::to_string(channel));
  const auto id = static_cast<uint16_t>(channel);
  ChannelEntry& entry = w.channels[id];
  if (entry.index.empty()) w.chunk_channels.push_back(id);
  entry.index.emplace_back(log_time, w.chunk.size());
  put<uint8_t>(w.chunk, kMessage);
  put<uint64_t>(w.chunk, 2 + 4 + 8 + 8 + size);
  put<uint16_t>(w.chunk, id);
  put<uint32_t>(w.chunk, sequence);
  put<uint64_t>(w.chunk, log_time);
  put<uint64_t>(w.chunk, publish_time);
  w.chunk.append(reinterpret_cast<const char*>(data), size);
  w.chunk_start = w.chunk_has_messages ? std::min(w.chunk_start, log_time) : log_time;
  w.chunk_end = w.chunk_has_messages ? std::max(w.chunk_end, log_time) : log_time;
  w.chunk_has_messages = true;
  w.start = w.messages == 0 ? log_time : std::min(w.start, log_time);
  w.end = w.messages == 0 ? log_time : std::max(w.end, log_time);
  ++w.messages;
  ++entry.messages;
  if (w.chunk.size() > w.options.chunk_size) w.flush_chunk();
}

void McapWriter::close() {
  Impl& w = *impl_;
  w.check();
  w.flush_chunk();

  information_.topics.clear();
  for (const ChannelEntry& entry : w.channels) {
    information_.topics.push_back({entry.channel, entry.messages});
  }
  information_.files = {{w.file_name, w.start, w.end, w.messages}};

  // The metadata records given, then rosbag2's description of the file, as its metadata.yaml
  // would give it.
  std::vector<MetadataRecord> records = w.options.metadata;
  const std::string distro = w.options.ros_distro.empty() ? ros_distro_of(w.options.source_metadata)
                                                          : w.options.ros_distro;
  records.push_back(
      {"rosbag2",
       {{"serialized_metadata", bag_information_yaml(information_, w.options.source_metadata)},
        {"ROS_DISTRO", distro}}});
  std::vector<std::string> metadata_indexes;
  for (const MetadataRecord& entry : records) {
    const uint64_t offset = w.position;
    std::string body;
    put_string(body, entry.name);
    put_map(body, entry.entries);
    w.emit(record(kMetadata, body));
    std::string index;
    put<uint64_t>(index, offset);
    put<uint64_t>(index, w.position - offset);
    put_string(index, entry.name);
    metadata_indexes.push_back(record(kMetadataIndex, index));
  }

  std::string data_end;
  put<uint32_t>(data_end, static_cast<uint32_t>(w.data_crc));
  w.in_data = false;
  w.emit(record(kDataEnd, data_end));

  const uint64_t summary_start = w.position;
  w.in_summary = true;
  std::vector<std::tuple<Opcode, uint64_t, uint64_t>> groups;
  const auto group = [&](Opcode opcode, const auto& write_records) {
    const uint64_t begin = w.position;
    write_records();
    if (w.position > begin) groups.emplace_back(opcode, begin, w.position - begin);
  };
  group(kSchema, [&] {
    for (const std::string& schema : w.schema_records) w.emit(schema);
  });
  group(kChannel, [&] {
    for (const std::string& channel : w.channel_records) w.emit(channel);
  });
  group(kStatistics, [&] {
    std::string body;
    put<uint64_t>(body, w.messages);
    put<uint16_t>(body, static_cast<uint16_t>(w.schema_records.size()));
    put<uint32_t>(body, static_cast<uint32_t>(w.channels.size()));
    put<uint32_t>(body, 0);  // attachments
    put<uint32_t>(body, static_cast<uint32_t>(metadata_indexes.size()));
    put<uint32_t>(body, static_cast<uint32_t>(w.chunk_indexes.size()));
    put<uint64_t>(body, w.start);
    put<uint64_t>(body, w.end);
    std::string counts;
    for (size_t id = 0; id < w.channels.size(); ++id) {
      if (w.channels[id].messages == 0) continue;
      put<uint16_t>(counts, static_cast<uint16_t>(id));
      put<uint64_t>(counts, w.channels[id].messages);
    }
    put<uint32_t>(body, static_cast<uint32_t>(counts.size()));
    body += counts;
    w.emit(record(kStatistics, body));
  });
  group(kMetadataIndex, [&] {
    for (const std::string& index : metadata_indexes) w.emit(index);
  });
  group(kChunkIndex, [&] {
    for (const ChunkIndexEntry& chunk : w.chunk_indexes) {
      std::string body;
      put<uint64_t>(body, chunk.start);
      put<uint64_t>(body, chunk.end);
      put<uint64_t>(body, chunk.offset);
      put<uint64_t>(body, chunk.length);
      put<uint32_t>(body, static_cast<uint32_t>(chunk.message_indexes.size() * 10));
      for (const auto& [id, offset] : chunk.message_indexes) {
        put<uint16_t>(body, id);
        put<uint64_t>(body, offset);
      }
      put<uint64_t>(body, chunk.message_index_length);
      put_string(body, w.options.compression);
      put<uint64_t>(body, chunk.compressed_size);
      put<uint64_t>(body, chunk.uncompressed_size);
      w.emit(record(kChunkIndex, body));
    }
  });
  const uint64_t offsets_start = w.position;
  for (const auto& [opcode, begin, length] : groups) {
    std::string body;
    put<uint8_t>(body, opcode);
    put<uint64_t>(body, begin);
    put<uint64_t>(body, length);
    w.emit(record(kSummaryOffset, body));
  }
  std::string footer;
  put<uint8_t>(footer, kFooter);
  put<uint64_t>(footer, 8 + 8 + 4);
  put<uint64_t>(footer, summary_start);
  put<uint64_t>(footer, offsets_start);
  w.emit(footer);
  w.in_summary = false;
  std::string crc;
  put<uint32_t>(crc, static_cast<uint32_t>(w.summary_crc));
  w.emit(crc);
  w.emit(kMagic, kMagicSize);
  const std::string error = w.sink->commit();
  if (!error.empty()) w.fail(error);
  w.closed = true;
}

}  // namespace ros2_storage
